# shellcheck shell=bash
# What scripts/vivid-vm/run and scripts/vivid-vm/boot share: the cache of
# Debian's kernel and busybox packages, the modules taken from the kernel
# package, and the choice of acceleration. Sourced, never run.

cache=${VIVID_VM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vistrel-vm}

die() { echo "vivid-vm: $*" >&2; exit 125; }

# Downloads a package into the cache and prints the .deb's path.
download() {
    mkdir -p "$cache/debs"
    # As root apt downloads as _apt, which cannot reach a cache under /root.
    local as=()
    [ "$(id -u)" -ne 0 ] || as=(-o APT::Sandbox::User=root)
    (cd "$cache/debs" && apt-get download -q "${as[@]}" "$1" >&2) || die "apt-get download $1 failed"
    ls -t "$cache/debs/$1"_*.deb | head -n1
}

# The cached kernel package (linux-image-amd64's current version, fetched
# once), and busybox-static's.
kernel_deb() {
    local kdeb kpkg
    kdeb=$(ls -t "$cache"/debs/linux-image-*.deb 2> /dev/null | head -n1) || true
    if [ -z "$kdeb" ]; then
        kpkg=$(apt-cache depends linux-image-amd64 2> /dev/null |
            awk '/Depends: linux-image-[0-9]/ {print $2; exit}') || true
        [ -n "$kpkg" ] || die "cannot resolve linux-image-amd64 (run apt-get update)"
        echo "vivid-vm: fetching $kpkg into $cache (once)" >&2
        kdeb=$(download "$kpkg")
    fi
    echo "$kdeb"
}
busybox_deb() {
    local bbdeb
    bbdeb=$(ls -t "$cache"/debs/busybox-static_*.deb 2> /dev/null | head -n1) || true
    [ -n "$bbdeb" ] || bbdeb=$(download busybox-static)
    echo "$bbdeb"
}

# Unpacks the kernel package into DIR, with its module index.
unpack_kernel() {
    dpkg-deb -x "$(kernel_deb)" "$1"
    depmod -b "$1" "$(ls "$1/lib/modules")"
}

# Copies the modules named, with what they depend on, from the kernel
# unpacked in KDIR into DEST/lib/modules, uncompressed, indexes them there,
# and prints them in load order, relative to the modules folder.
copy_modules() {
    local kdir=$1 dest=$2 kver ko rel m
    shift 2
    kver=$(ls "$kdir/lib/modules")
    local mods=$kdir/lib/modules/$kver
    for m in "$@"; do
        modprobe -d "$kdir" -S "$kver" --show-depends "$m" | awk '$1 == "insmod" {print $2}'
    done | awk '!seen[$0]++' | while read -r ko; do
        rel=${ko#"$mods"/}
        mkdir -p "$dest/lib/modules/$kver/$(dirname "$rel")"
        case $ko in
            *.xz) rel=${rel%.xz}; xz -dc "$ko" > "$dest/lib/modules/$kver/$rel" ;;
            *.zst) rel=${rel%.zst}; zstd -qdc "$ko" > "$dest/lib/modules/$kver/$rel" ;;
            *) cp "$ko" "$dest/lib/modules/$kver/$rel" ;;
        esac
        echo "$rel"
    done
    cp "$mods"/modules.{order,builtin,builtin.modinfo} "$dest/lib/modules/$kver/"
    depmod -b "$dest" "$kver"
}

# Sets machine=(qemu options) and vm_accel (kvm or tcg): KVM when /dev/kvm works with hardware
# virtualisation, else software emulation with TCG_CPUS virtual CPUs;
# VIVID_VM_ACCEL=kvm|tcg overrides.
choose_machine() {
    local tcg_cpus=$1 accel=${VIVID_VM_ACCEL:-}
    if [ -z "$accel" ]; then
        # A /dev/kvm without vmx/svm (a paravirtual one) cannot boot a stock kernel.
        if [ -r /dev/kvm ] && [ -w /dev/kvm ] && grep -qwE 'vmx|svm' /proc/cpuinfo; then
            accel=kvm
        else
            accel=tcg
        fi
    fi
    # shellcheck disable=SC2034,SC2054  # for the caller; the commas are qemu's
    case $accel in
        kvm) machine=(-accel kvm -cpu host -smp 2) ;;
        tcg) machine=(-accel tcg,thread=multi -cpu max -smp "$tcg_cpus") ;;
        *) die "VIVID_VM_ACCEL is kvm or tcg" ;;
    esac
    # shellcheck disable=SC2034  # for the caller
    vm_accel=$accel
}
