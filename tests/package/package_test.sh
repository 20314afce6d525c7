#!/usr/bin/env bash
# The packages as IT meets them, built with CPack from the normal build.
# archive: unpacked into a folder of its own, started from there (offscreen) against our worklist
#   server, then put into a desktop menu with its script.
# deb: no lintian errors, nor a hardening tag even among the pedantic and informational ones; the
#   FHS layout file for file, the binaries stripped, the dependencies found.
# Both: every ELF file the package installs passes hardening-check (devscripts).
# Usage: package_test.sh <build-dir> archive|deb <version> [hardened|unhardened]
# (unhardened: a sanitizer build, which is never packed for use; its programs are not checked)
set -euo pipefail
build=$1
hardened=${4:-hardened}
work=$(mktemp -d)
server_pid=""
app_pid=""
cleanup() {
    [ -n "$app_pid" ] && kill -9 "$app_pid" 2>/dev/null || true
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# Every ELF file below $1, whatever it is called: a program added later is checked as well.
elf_files() {
    find "$1" -type f -print0 | while IFS= read -r -d '' f; do
        if cmp -s -n 4 "$f" <(printf '\177ELF'); then printf '%s\n' "$f"; fi
    done
}

# The linker marks a program control-flow protected (IBT, SHSTK) only when every object in it is
# marked. Debian 12's C start files (libc6-dev: Scrt1.o, crti.o, crtn.o) are not, so there no
# program gets the mark however it was compiled, and hardening-check says "no" even for Debian's
# own. Where that is so, a program instead has to hold more branch-target instructions (endbr64)
# than those start files bring: then its own code was compiled with -fcf-protection.
start_files=$(for o in Scrt1.o crti.o crtn.o crtbeginS.o crtendS.o; do c++ -print-file-name=$o; done)
cf_marked_start=yes
for o in $start_files; do
    readelf -n "$o" | grep -q 'x86 feature: IBT, SHSTK' || cf_marked_start=no
done
start_endbr=$(objdump -d $start_files | grep -c endbr64 || true)

# PIE, stack protector, fortified functions, read-only relocations bound at start, stack-clash
# and control-flow protection, on each program; the report names each file for the log.
check_hardening() {
    # A sanitizer build is never packed for use: its flags exclude fortification.
    [ "$hardened" = hardened ] || return 0
    local programs
    programs=$(elf_files "$1")
    [ -n "$programs" ] || fail "no program found in $1"
    while IFS= read -r f; do
        if [ $cf_marked_start = yes ]; then
            hardening-check "$f" || fail "hardening-check: ${f#"$1"}"
        else
            hardening-check --nocfprotection "$f" || fail "hardening-check: ${f#"$1"}"
            [ "$(objdump -d "$f" | grep -c endbr64)" -gt "$start_endbr" ] ||
                fail "${f#"$1"} not compiled with -fcf-protection"
        fi
    done <<<"$programs"
}

cpack --config "$build/CPackConfig.cmake" -G "$([ "$2" = deb ] && echo DEB || echo TGZ)" \
    -B "$work/out" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; }

if [ "$2" = deb ]; then
    deb="$work/out/kelvara_${3}_amd64.deb"
    [ -f "$deb" ] || fail "no $deb"
    lintian --pedantic --display-info --fail-on error "$deb" >"$work/lintian.log" 2>&1 ||
        { cat "$work/lintian.log"; fail "lintian reports errors"; }
    cat "$work/lintian.log"
    [ "$hardened" != hardened ] || ! grep -q 'hardening-' "$work/lintian.log" ||
        fail "lintian reports missing hardening"

    share=/usr/share
    expected=$(printf '%s\n' /usr/bin/kelvara /usr/lib/kelvara/kelvara-exchange \
        $share/applications/kelvara.desktop \
        $share/doc/kelvara/{README.md,changelog.gz,copyright,examples/Settings.ini} \
        $share/icons/hicolor/{32x32,48x48,256x256}/apps/kelvara.png \
        $share/icons/hicolor/scalable/apps/kelvara.svg $share/lintian/overrides/kelvara \
        $share/man/man1/kelvara.1.gz \
        $share/metainfo/org.kelvara.Kelvara.metainfo.xml | sort)
    files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' | sort)
    [ "$files" = "$expected" ] || fail "file list differs: $(diff <(echo "$expected") <(echo "$files"))"

    dpkg-deb -x "$deb" "$work/root"
    check_hardening "$work/root"
    while IFS= read -r f; do
        if readelf -S "$f" | grep -qE '\.symtab|\.debug_'; then fail "${f#"$work/root"} not stripped"; fi
    done < <(elf_files "$work/root")
    # The window's process holds no DICOM or TLS code: that is the helper's.
    ldd "$work/root/usr/bin/kelvara" | grep -qE 'libdcm|libssl' && fail "kelvara links DICOM or TLS"
    grep -qx 'Exec=/usr/bin/kelvara' "$work/root/usr/share/applications/kelvara.desktop" || fail "Exec"
    grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
        "$work/root/usr/share/doc/kelvara/copyright" || fail "copyright format"
    depends=$(dpkg-deb -f "$deb" Depends)
    for package in fonts-liberation2 libqt6widgets6 libdcmtk17; do
        [[ "$depends" == *"$package"* ]] || fail "Depends lacks $package: $depends"
    done
    echo "package test (deb) passed"
    exit 0
fi

archive=$(ls "$work"/out/kelvara-*.tar.gz)
mkdir "$work/unpacked"
tar -C "$work/unpacked" -xzf "$archive"
root=$(ls -d "$work"/unpacked/kelvara-*)
for f in kelvara kelvara-exchange install-desktop-entry.sh README.md LICENSE share/kelvara.desktop.in \
    share/icons/kelvara-32.png share/icons/kelvara-48.png share/icons/kelvara.svg; do
    [ -e "$root/$f" ] || fail "archive lacks $f"
done
grep -q "MIT License" "$root/LICENSE" || fail "licence"
check_hardening "$root"

# Moved somewhere else after unpacking: the program must not care where it lies.
mv "$root" "$work/Kelvara Programm"
root="$work/Kelvara Programm"

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
"$build/tools/kelvara-wlserver" --port "$port" --demo 3 >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.1; done
printf '[General]\nLocalAET=KELVARA\n[Worklist]\nIP=127.0.0.1\nAET=KELVARA_WL\nPort=%s\n' "$port" \
    >"$root/Settings.ini"

mkdir -m 700 "$work/runtime"
QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work/runtime" "$root/kelvara" &
app_pid=$!
for _ in $(seq 100); do grep -q "C-FIND from KELVARA: 3 matches" "$work/server.log" && break; sleep 0.1; done
grep -q "C-FIND from KELVARA: 3 matches" "$work/server.log" || fail "no query from the unpacked program"
kill -TERM "$app_pid"
wait "$app_pid" || fail "the program did not end cleanly"
app_pid=""
grep -q '^\[Columns\]' "$root/Settings.ini" || fail "settings not saved beside the program"

XDG_DATA_HOME="$work/data" "$root/install-desktop-entry.sh" >/dev/null
entry="$work/data/applications/kelvara.desktop"
grep -q "^Exec=\"$root/kelvara\"$" "$entry" || fail "desktop entry does not start the unpacked program"
grep -q '^StartupWMClass=Kelvara$' "$entry" || fail "StartupWMClass"
[ -f "$work/data/icons/hicolor/48x48/apps/kelvara.png" ] || fail "icon"
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$entry" || fail "desktop entry does not validate"
fi
XDG_DATA_HOME="$work/data" "$root/install-desktop-entry.sh" --remove >/dev/null
[ ! -e "$entry" ] || fail "uninstall left the desktop entry"
echo "package test passed"
