#!/usr/bin/env bash
# The Windows installer under Wine's installer and service manager, from a fresh installation to
# its removal: the service registered as `brixsvc install` registers it, running and serving
# "Hello" on 127.0.0.1:1995; an edited catalog kept by a repair and by an upgrade to a higher
# version, which leaves the service running; a folder with a space, and a service BRIx registered
# by hand, refused; and after the uninstallation no service, no file and no installer registration
# left.
#
# Usage: msi_test.sh SOURCE_DIR BIN_DIR DOC_DIR VERSION
# Run by ctest in the windows preset, never beside the other users of the service "BRIx", under the
# Wine server the test command keeps alive (without one, Wine ends services between wine calls).
# It holds port 1995's lock throughout.
set -euo pipefail
[ $# -eq 4 ] || { echo "usage: msi_test.sh SOURCE_DIR BIN_DIR DOC_DIR VERSION" >&2; exit 2; }
source_dir=$1 bin_dir=$2 doc_dir=$3 version=$4
# Wine's own processes (its service manager among them) may start during any wine call and live
# on: none of them may inherit the lock on port 1995 (descriptor 9), or it stays held after the test.
wine() { "$source_dir/tools/wine-run" "$@" 9>&-; }
export WINEPREFIX=${WINEPREFIX:-$source_dir/build/wine-prefix}
drive_c=$WINEPREFIX/drive_c
service_key='HKLM\SYSTEM\CurrentControlSet\Services\BRIx'

work=$(mktemp -d)
# A failing run removes what it registered and installed before it lets go of the port.
cleanup() {
  set +e
  if [ -n "${installing:-}" ]; then
    for v in "$version" "$newer"; do wine msiexec /x "$(product_code "$v")" /qn; done
    wine "$bin_dir/brixsvc.exe" uninstall
  fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }
step() { echo "--- ${SECONDS}s: $*"; }

# A higher version for the upgrade: the patch number plus one.
IFS=. read -r major minor patch <<<"$version"
newer=$major.$minor.$((patch + 1))
for v in "$version" "$newer"; do
  "$source_dir/packaging/windows/make-msi.sh" "$v" "$bin_dir" "$doc_dir" "$work/brix-$v.msi"
done
msi() { echo "Z:${work//\//\\}\\brix-$1.msi"; }
product_code() { msiinfo export "$work/brix-$1.msi" Property | tr -d '\r' | sed -n 's/^ProductCode\t//p'; }

# One request line to the service; prints the response.
request() {
  timeout 5 bash -c 'exec 3<>/dev/tcp/127.0.0.1/1995 && printf "%s\n" "$1" >&3 && cat <&3' _ "$1"
}
# Waits up to 10 s for REQUEST to be answered with RESPONSE (the service binds its port after
# reporting that it runs).
expect_answer() {
  local deadline=$((SECONDS + 10)) got
  until got=$(request "$1" 2>/dev/null) && [ "$got" = "$2" ]; do
    [ $SECONDS -lt $deadline ] || fail "'$1' answered '${got:-nothing}', not '$2'"
    sleep 0.2
  done
}
service_values() { wine reg query "$service_key" | tr -d '\r' | grep REG_ | grep -v ImagePath; }
image_path() { wine reg query "$service_key" | tr -d '\r' | sed -n 's/^ *ImagePath *REG_SZ *//p'; }
is_running() { wine sc query BRIx | grep -q 'STATE *: 4 *RUNNING'; }
# Where the installer registers products, components and upgrade codes, and the services.
registry() {
  local key
  for key in 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' \
    'HKLM\Software\Microsoft\Windows\CurrentVersion\Installer' 'HKLM\Software\Classes\Installer' \
    'HKLM\SYSTEM\CurrentControlSet\Services'; do
    # Each value with its key: a key without values (the installer's own bookkeeping keys, left
    # empty) reads as a missing one, and a fresh prefix has no installer keys yet.
    wine reg export "$key" "Z:${work//\//\\}\\key.reg" /y >/dev/null 2>&1 || continue
    iconv -f UTF-16 -t UTF-8 "$work/key.reg" | tr -d '\r' |
      awk '/^\[/ {key = $0; next} NF && NR > 1 {print key " " $0}'
  done
}
folder=$drive_c/Development/brix/brix
catalog=$folder/cgi.csv

exec 9>/tmp/brix-port-1995.lock
flock -w 600 9 || fail "port 1995's lock not free within 10 minutes"

step "the settings brixsvc install gives the service; the installer refuses to install over it"
! wine reg query "$service_key" >/dev/null 2>&1 || fail "a service BRIx exists already"
[ ! -e "$drive_c/Development" ] || fail "C:\\Development exists already"
installing=1
wine "$bin_dir/brixsvc.exe" install
service_values >"$work/expected" || fail "brixsvc install registered no service"
! wine msiexec /i "$(msi "$version")" /qn || fail "installed over the existing service"
[ ! -e "$drive_c/Development" ] || fail "installed files over the existing service"
wine "$bin_dir/brixsvc.exe" uninstall
registry >"$work/registry-before"
ls "$drive_c/windows/Installer" >"$work/cache-before" 2>/dev/null || true

step "installed: the zip's files, the service registered as brixsvc install does it, running"
wine msiexec /i "$(msi "$version")" /qn || fail "msiexec /i exited with $?"
files=$(cd "$folder" && LC_ALL=C ls | tr '\n' ' ')
[ "$files" = "INSTALL.txt brix-call.exe brix.exe brixsvc.exe cgi.csv echo.dll guestbook.dll \
hello.dll warden-fg.exe warden.exe " ] || fail "installed: $files"
diff "$work/expected" <(service_values) || fail "the service's settings differ"
[ "$(image_path)" = 'C:\Development\brix\brix\brixsvc.exe' ] || fail "ImagePath: $(image_path)"
is_running || fail "the service does not run"
expect_answer name=msi "Hello, msi!"

step "an edited catalog kept by a repair and by an upgrade"
printf '"greet","hello.dll","make_hello","none"\r\n' >>"$catalog"
cp "$catalog" "$work/edited"
# A repair, here through the properties `msiexec /fomus` sets: Wine's msiexec /f repairs nothing
# (a package path gives 1605, a product code is not implemented). It restores a deleted program.
rm "$folder/echo.dll"
wine msiexec /i "$(msi "$version")" REINSTALL=ALL REINSTALLMODE=omus /qn ||
  fail "the repair exited with $?"
[ -f "$folder/echo.dll" ] || fail "the repair did not restore echo.dll"
cmp "$work/edited" "$catalog" || fail "the repair changed the catalog"
wine msiexec /i "$(msi "$newer")" /qn || fail "msiexec /i of $newer exited with $?"
cmp "$work/edited" "$catalog" || fail "the upgrade changed the catalog"
registry | grep -o '"DisplayVersion"=.*' | sort -u >"$work/versions"
[ "$(cat "$work/versions")" = "\"DisplayVersion\"=\"$newer\"" ] ||
  fail "registered versions: $(cat "$work/versions")"
diff "$work/expected" <(service_values) || fail "the upgraded service's settings differ"
is_running || fail "the upgraded service does not run"
expect_answer "cgilet=greet&name=kept" "Hello, kept!"

step "uninstalled: no service, no files, no registration"
wine msiexec /x "$(msi "$newer")" /qn || fail "msiexec /x exited with $?"
! wine reg query "$service_key" >/dev/null 2>&1 || fail "the service is still registered"
[ ! -e "$drive_c/Development" ] || fail "left: $(find "$drive_c/Development")"
diff "$work/registry-before" <(registry) || fail "the registry differs from before"
diff "$work/cache-before" <(ls "$drive_c/windows/Installer" 2>/dev/null) ||
  fail "installer cache left behind"

step "a folder with a space refused"
! wine msiexec /i "$(msi "$version")" 'INSTALLDIR=C:\Program Files\brix' /qn ||
  fail "installed into a folder with a space"
! wine reg query "$service_key" >/dev/null 2>&1 || fail "a service was registered"
[ ! -e "$drive_c/Program Files/brix" ] || fail "files installed into C:\\Program Files\\brix"
installing=
echo "passed"
