#!/usr/bin/env bash
# Prepares the 32-bit lane, in which the shipped i686 programs run: qemu-user's i386 emulator
# registered for 32-bit ELF files (this machine's kernel refuses them itself), and an i386 Debian
# root holding 32-bit Wine. Debian 12's own qemu-user is too slow for Wine to start, so the emulator
# comes from the backports suite, fetched with a private apt configuration: the host's apt sources
# and packages stay as they are, and the host never gets the i386 architecture or wine32.
# Both are kept in a cache outside the checkout, under a folder named by a hash of the recipe below,
# so every checkout on this machine shares them and a changed recipe builds afresh. Run as root.
# The recipe and the cache's place are in lane32-env.sh.
set -euo pipefail

# shellcheck source=scripts/lane32-env.sh
source "$(dirname "$0")/lane32-env.sh"
binfmt=/proc/sys/fs/binfmt_misc
# The usual name, under which mmdebstrap looks for the F flag.
binfmt_name=qemu-i386

die() {
    echo "setup-lane32: $*" >&2
    exit 1
}

[ "$(id -u)" -eq 0 ] || die "the 32-bit lane needs root (a chroot, mounts, a binfmt_misc entry); run as root"

# The Debian registry this machine's apt already uses, read from its sources at run time.
debian_mirror() {
    local file
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        # deb822 stanzas: the URIs of the first stanza whose suites include ours.
        awk -v suite="$lane32_suite" '
            /^$/ { uris = ""; has_suite = 0 }
            /^URIs:/ { uris = $2 }
            /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == suite) has_suite = 1 }
            uris != "" && has_suite && !printed { print uris; printed = 1 }' "$file"
    done
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$file" ] || continue
        awk -v suite="$lane32_suite" '$1 == "deb" {
                i = 2
                if ($i ~ /^\[/) while ($i !~ /\]$/) i++
                if ($i ~ /^\[/ || $i ~ /\]$/) i++
                if ($(i + 1) == suite) print $i
            }' "$file"
    done
}

mirror=$(debian_mirror | head -n1)
[ -n "$mirror" ] || die "no apt source for Debian $lane32_suite in /etc/apt/sources.list{,.d/}"

mkdir -p "$lane32_cache"
# One set-up at a time on this machine: checkouts share the cache and the binfmt_misc entry.
exec 9>"$lane32_cache/.lock"
flock 9

if [ ! -f "$lane32_dir/ready" ]; then
    echo "Preparing the 32-bit lane in $lane32_dir (once per machine, a few minutes)"
    rm -rf "$lane32_dir"
    mkdir -p "$lane32_dir/apt/lists/partial" "$lane32_dir/apt/archives/partial" "$lane32_dir/emulator"
    echo "deb $mirror $lane32_emulator_suite main" >"$lane32_dir/apt/sources.list"
    apt_private=(-o "Dir::Etc::SourceList=$lane32_dir/apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
                 -o "Dir::State::Lists=$lane32_dir/apt/lists" -o "Dir::Cache=$lane32_dir/apt"
                 -o Debug::NoLocking=1 -o APT::Sandbox::User=root -q)
    apt-get "${apt_private[@]}" update >/dev/null
    (cd "$lane32_dir/apt" && apt-get "${apt_private[@]}" download "$lane32_emulator_package/$lane32_emulator_suite" >/dev/null)
    dpkg-deb -x "$lane32_dir"/apt/"$lane32_emulator_package"_*.deb "$lane32_dir/emulator"
    # Only the i386 emulator is used: the package's other 360 MB go.
    find "$lane32_dir/emulator" \( -type f -o -type l \) \
        ! -name qemu-i386 ! -name i386-binfmt-P ! -name qemu-i386.conf -delete
    rm -rf "$lane32_dir/apt"
fi

# The registration does not survive a reboot, so it is checked on every run. The flag F opens the
# emulator now, so that it also runs inside the root without a copy there.
emulator=$lane32_dir/emulator/usr/libexec/qemu-binfmt/i386-binfmt-P
[ -x "$emulator" ] || die "$emulator is missing from $lane32_emulator_package"
if [ ! -w "$binfmt/register" ]; then
    mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null ||
        die "binfmt_misc cannot be mounted at $binfmt here, so 32-bit programs cannot be run"
    [ -w "$binfmt/register" ] || die "$binfmt/register is not writable, so 32-bit programs cannot be run"
fi
if ! grep -qx "interpreter $emulator" "$binfmt/$binfmt_name" 2>/dev/null; then
    [ ! -e "$binfmt/$binfmt_name" ] || echo -1 >"$binfmt/$binfmt_name"
    # The package's own magic and mask for i386 ELF files, under our name and emulator.
    conf=$(cat "$lane32_dir/emulator/usr/share/qemu/binfmt.d/qemu-i386.conf")
    IFS=: read -r _ _ type offset magic mask _ flags <<<"$conf"
    echo ":$binfmt_name:$type:$offset:$magic:$mask:$emulator:$flags" >"$binfmt/register" ||
        die "cannot register the i386 emulator with binfmt_misc"
fi

if [ ! -f "$lane32_dir/ready" ]; then
    include=$(IFS=,; echo "${lane32_root_packages[*]}")
    mmdebstrap --mode=root --arch=i386 --variant=minbase --include="$include" -q \
        "$lane32_suite" "$lane32_root" "deb $mirror $lane32_suite main"
    cp /etc/hosts "$lane32_root/etc/hosts"
    echo "$lane32_recipe" >"$lane32_dir/ready"
fi
