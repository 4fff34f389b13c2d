// SPDX-License-Identifier: MIT
#pragma once

#include <QIcon>
#include <QImage>
#include <QPixmap>

namespace vistrel {

// The small pictures of the window. Each comes from the desktop's icon theme
// when the theme has it, else from our own drawing, which carries a greyed
// picture for the disabled state as well.
enum class Glyph {
    Update,           // red circular arrow round an exclamation mark
    Run,              // black right-pointing triangle in a frame
    Stop,             // black square in a frame
    SaveSettings,     // red tick mark
    Exit,             // open door
    SelectDirectory,  // tree of three folders
    System,           // a monitor, in front of the system version
    Web,              // a globe, in front of the home page
    Mail,             // an envelope, in front of the mail address
};

// The theme icon, falling back to DrawnGlyphIcon.
QIcon GlyphIcon(Glyph glyph);
// Our own 16 by 16 drawing, with Normal and Disabled pixmaps.
QIcon DrawnGlyphIcon(Glyph glyph);
QImage DrawGlyph(Glyph glyph);  // 16 by 16, transparent background
// The disabled look of a picture: grey, lighter, half transparent.
QImage GreyedGlyph(const QImage& image);

// The program's icon drawn at size by size pixels (a camera lens with a red
// recording light). The committed PNG files under app/resources are made
// from this drawing by the vistrel-make-icons tool.
QImage DrawProgramIcon(int size);
// The about panel's 32 by 16 flag picture.
QImage DrawFlag();
// The program icon from the resources, all sizes.
QIcon ProgramIcon();

}  // namespace vistrel
