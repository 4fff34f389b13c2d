// SPDX-License-Identifier: MIT
#pragma once

#include <QImage>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "bare_chain.h"
#include "test_frames.h"

// Two measures outside the alternating cases, since they are not processor
// time of one thread:
//   path-parallel  frames per second (wall time) through the frame logger's
//                  writer with 1, 2 and N workers, against the bare chain in
//                  as many threads;
//   untaken        what a frame that is not written costs, from the sample
//                  routine through the slot to the frame event.
namespace vistrel::bench {

struct ParallelInput {
    Size size;
    std::uint32_t code = 0;
    const Bytes* sample = nullptr;  // as the camera sends it
    std::string directory;          // where the files go
    // The yardstick's conversion of the sample into picture.
    std::function<void(LibyuvYuy2& yuy2, BareDecoder& decoder, QImage& picture)> convertRef;
    std::function<void()> tidy;  // removes the files written
};

// Prints "PARALLEL <name> workers=<k> ours_fps=... ref_fps=... ratio=..." for
// each worker count; returns the processor time per frame with one worker.
std::optional<double> PrintParallelCase(const std::string& name, const ParallelInput& input);

struct TUntakenCost {
    double oursMs = 0;  // sample routine, slot, frame event, counter step
    double copyMs = 0;  // the copy of the sample alone
};
TUntakenCost MeasureUntakenFrame(const Size& size, std::uint32_t code, const Bytes& sample);
void PrintUntakenCost(const std::string& name, const TUntakenCost& cost);

// The share of a core of one 30 fps stream: every frame written, and one
// file a second with the other 29 frames not taken.
void PrintStreamShares(const std::string& name, double writtenMs, const TUntakenCost& untaken);

}  // namespace vistrel::bench
