#!/bin/bash
# The Wine run: the real Windows images -- product drivers, testbed drivers, Installer.dll and its
# front ends -- installed and driven under Wine, an implementation of the kernel and of SetupAPI
# that nobody here wrote.
#
#   run_wine.sh WINDOWS_BUILD_DIR WORK_DIR [HOST_VYRSIM]
#
# Steps: a fresh prefix; the package laid out in C:\install as an administrator receives it (plus
# the testbed's images in C:\vyrtest); InstallDrivers through setup_shared.exe; one driver
# process with vyrwinecompat.sys first, and a new session; the fabric's root device; the class
# packages for the paths; the scenario program (vyrwinscen.exe, which builds the topology through
# the fabric's control device) and, with HOST_VYRSIM, the comparison with the host build's run;
# UninstallDrivers through uninst.exe and a check that nothing of the product is left. Every Wine
# command runs with a time-out, its output in WORK_DIR/log, standard input closed.
#
# Where Wine 8 differs from Windows (worked around here and in sim/wine, in test code only):
#   - A fresh prefix says Windows 7 and has no TapeDrive or MediumChanger setup class: the prefix
#     is made to say Windows Server 2016 (the package is the 2k16 build) and the two classes are
#     registered as every Windows installation has them.
#   - CM_Locate_DevNodeA / CM_Reenumerate_DevNode are stubs that fail: InstallDrivers stops at its
#     rescan step with "Failed to scan for hardware changes"; that exact outcome is expected.
#   - SetupCopyOEMInf fails with ERROR_FILE_NOT_FOUND when the INF names a catalog file that is
#     not there; the release adds signed catalogs, the test package gets empty ones. It keeps no
#     source location for a package either: the path class drivers' images are put in place here.
#   - MessageBoxA returns at once without a display (the front ends run with -s anyway).
#   - Background processes (services, winedevice) inherit the first command's standard output and
#     error: never capture Wine in a pipe ($(wine ...)) -- it hangs; everything goes to files.
#   - About 3 in 10,000 starts fail with "failed to map the shared user data" (no preloader in
#     Debian's package): Wine runs under `setarch x86_64 -R`, and such a start is retried once.
#   - Each driver service without a load-order group runs in a winedevice process of its own, so
#     drivers that share memory (bus enumerator, path filter, class driver, fabric) join one group.
#   - Kernel routines Wine 8 lacks or stubs (driver-object extensions, IoBuildPartialMdl,
#     MmMapLockedPagesSpecifyCache, MmBuildMdlForNonPagedPool, IoGetDeviceObjectPointer, the
#     buffered case of IoBuildDeviceIoControlRequest) are supplied by vyrwinecompat.sys
#     (sim/wine/vyrwinecompat.cpp), loaded first into that process.
#   - Wine loads no upper filters: the test build of the class driver stand-ins attaches the ones
#     the registry names (sim/wine/attachfilters.cpp).
#   - Removing a device does not unload its driver, so the uninstaller cannot delete the images of
#     the drivers still loaded: that outcome is expected, the drivers' process is ended and the
#     uninstaller run once more. Each run uses a fresh prefix.
set -u

if [ $# -lt 2 ]; then
    echo "usage: $0 WINDOWS_BUILD_DIR WORK_DIR [HOST_VYRSIM]" >&2
    exit 2
fi
WINDOWS_BUILD=$(cd "$1" && pwd) || exit 2
WORK=$2
VYRSIM=${3:-}
HERE=$(cd "$(dirname "$0")" && pwd)
LOG=$WORK/log

say() { printf '%s\n' "$*"; }
fail() {
    say "FAIL: $*"
    exit 1
}

# --- Wine itself ----------------------------------------------------------------------------------
if ! command -v wine >/dev/null || ! command -v wineserver >/dev/null; then
    say "Installing Wine (apt-get install --no-install-recommends wine wine64)"
    SUDO=
    [ "$(id -u)" = 0 ] || SUDO=sudo
    mkdir -p "$(dirname "$WORK")"
    install_wine() {
        $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends wine wine64 \
            </dev/null >>"$WORK.apt.log" 2>&1
    }
    # A machine whose package lists are missing or old learns of the packages first.
    install_wine || { $SUDO apt-get update </dev/null >>"$WORK.apt.log" 2>&1 && install_wine; } ||
        fail "could not install Wine (see $WORK.apt.log)"
fi

for f in package/Installer.dll package/setup_shared.exe package/uninst.exe bin/vyrwinsetup.exe \
         drivers/vyrfab.sys drivers/vyrtp2k16.sys drivers/vyrcg2k16.sys drivers/vyrwinecompat.sys; do
    [ -f "$WINDOWS_BUILD/$f" ] || fail "$WINDOWS_BUILD/$f is missing (build the windows preset first)"
done

rm -rf "$WORK"
mkdir -p "$LOG"
export WINEPREFIX=$WORK/prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
unset DISPLAY WAYLAND_DISPLAY

cleanup() {
    timeout -k 5 20 wineserver -k </dev/null >/dev/null 2>&1
    timeout -k 5 20 wineserver -w </dev/null >/dev/null 2>&1
}
trap cleanup EXIT

# wine_run NAME TIMEOUT PROGRAM ARG...: runs one Wine command, its output in $LOG/NAME.out and
# $LOG/NAME.err; retried once when Wine could not map the shared user data. Returns its status.
wine_run() {
    local name=$1 limit=$2
    shift 2
    local attempt rc
    for attempt in 1 2; do
        timeout -k 10 "$limit" setarch x86_64 -R wine "$@" </dev/null >"$LOG/$name.out" 2>"$LOG/$name.err"
        rc=$?
        if [ $attempt = 1 ] && grep -q "failed to map the shared user data" "$LOG/$name.err"; then
            say "  (retrying $name: failed to map the shared user data)"
            continue
        fi
        break
    done
    [ $rc = 124 ] && say "  $name: timed out after ${limit}s"
    return $rc
}

# --- A fresh prefix ---------------------------------------------------------------------------------
say "Creating a fresh prefix in $WINEPREFIX"
# One server for the whole run; its session's services write to boot.* (files, never a pipe).
timeout -k 5 20 wineserver -p 600 </dev/null >"$LOG/wineserver.out" 2>&1
wine_run boot 180 wineboot -i || fail "wineboot failed (see $LOG/boot.err)"
wine_run winver 60 winecfg /v win10 || fail "winecfg failed"
wine_run productname 60 reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion' /v ProductName \
    /d 'Windows Server 2016 Standard' /f || fail "could not set the product name"
wine_run class_tape 60 reg add \
    'HKLM\System\CurrentControlSet\Control\Class\{6D807884-7D21-11CF-801C-08002BE10318}' /v Class /d TapeDrive /f ||
    fail "could not register the TapeDrive class"
wine_run class_changer 60 reg add \
    'HKLM\System\CurrentControlSet\Control\Class\{CE5939AE-EBDE-11D0-B181-0000F8753EC4}' /v Class /d MediumChanger /f ||
    fail "could not register the MediumChanger class"

# --- The package as an administrator receives it, plus the testbed ------------------------------------
DRIVE_C=$WINEPREFIX/drive_c
INSTALL=$DRIVE_C/install
TESTBED=$DRIVE_C/vyrtest
mkdir -p "$INSTALL" "$TESTBED"
cp -r "$WINDOWS_BUILD/package/." "$INSTALL/"
# The maker's class drivers come with the maker's packages and join drivers\ when the release is
# assembled; here the testbed's stand-ins take their place. Empty catalogs stand for signed ones.
cp "$WINDOWS_BUILD/drivers/vyrtp2k16.sys" "$WINDOWS_BUILD/drivers/vyrcg2k16.sys" "$INSTALL/drivers/"
for inf in "$INSTALL"/drivers/*.inf; do
    : >"${inf%.inf}.cat"
done
cp "$WINDOWS_BUILD/drivers/vyrfab.sys" "$HERE/inf/vyrfab.inf" "$HERE/inf/vyrtapeclass.inf" "$HERE/inf/vyrchangerclass.inf" \
    "$WINDOWS_BUILD/bin/vyrwinsetup.exe" "$TESTBED/"
[ -f "$WINDOWS_BUILD/bin/vyrwinscen.exe" ] && cp "$WINDOWS_BUILD/bin/vyrwinscen.exe" "$TESTBED/"

# --- InstallDrivers through the front end ------------------------------------------------------------
say "InstallDrivers (setup_shared.exe -s -v:2)"
cd "$INSTALL" || fail "no $INSTALL"
wine_run install 180 'C:\install\setup_shared.exe' -s -v:2
rc=$?
cat "$LOG/install.out" "$LOG/install.err" >"$LOG/install.all"
# Wine's CM_* stubs stop the installer at its rescan, after both bus enumerators are in place.
for text in "Successfully installed Changer Bus Enumerator" "Successfully installed Tape Bus Enumerator" \
            "Failed to scan for hardware changes"; do
    grep -q "$text" "$LOG/install.all" || fail "InstallDrivers: \"$text\" missing (rc $rc, see $LOG/install.all)"
done
[ $rc != 0 ] || fail "InstallDrivers reported success although Wine's CM_* calls are stubs"
say "  stopped at the rescan, as expected under Wine"

# --- One winedevice process for every driver, with Wine's missing routines supplied first --------------
# Wine runs each driver service without a load-order group in a winedevice process of its own; the
# product's drivers share memory (the bus enumerator's status table, read by the filters and the
# class drivers), so every service of the run joins one group. vyrwinecompat.sys (sim/wine) joins
# it with the lowest tag -- services.exe starts boot-time services in tag order -- and supplies
# the kernel routines Wine 8 leaves unimplemented before any other driver of the group loads.
# The fabric's INF names the group itself; the filters and class drivers are loaded by Plug and
# Play into the process of the device they serve.
say "One driver process: group VyrTest, vyrwinecompat.sys first; session restart"
cp "$WINDOWS_BUILD/drivers/vyrwinecompat.sys" "$DRIVE_C/windows/system32/drivers/"
{
    printf 'REGEDIT4\n\n'
    printf '[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\vyrwinecompat]\n'
    printf '"Type"=dword:00000001\n"Start"=dword:00000001\n"ErrorControl"=dword:00000001\n'
    printf '"ImagePath"="C:\\\\windows\\\\system32\\\\drivers\\\\vyrwinecompat.sys"\n'
    printf '"Group"="VyrTest"\n"Tag"=dword:00000001\n\n'
    tag=2
    for service in vyrtpbs2k16 vyrcgbs2k16; do
        printf '[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\%s]\n' "$service"
        printf '"Group"="VyrTest"\n"Tag"=dword:%08x\n\n' "$tag"
        tag=$((tag + 1))
    done
} >"$TESTBED/group.reg"
wine_run group 60 reg import 'C:\vyrtest\group.reg' || fail "could not import the group settings (see $LOG/group.err)"
# The services read their configuration when the session starts: a new session. Its services
# (and so the drivers' DbgPrint lines, shown by warn+debugstr) write to the first command's files.
cleanup
timeout -k 5 20 wineserver -p 600 </dev/null >"$LOG/wineserver2.out" 2>&1
WINEDEBUG=-all,warn+debugstr wine_run session 120 'C:\vyrtest\vyrwinsetup.exe' open --wait 20 '\\.\VYRTpBsDvcLnk' \
    '\\.\VYRCgBsDvcLnk'
probe_rc=$?
cat "$LOG/session.out"
grep -q "vyrwinecompat: [0-9]* routines in place" "$LOG/session.err" ||
    fail "vyrwinecompat.sys did not patch Wine's ntoskrnl (see $LOG/session.err)"
if [ $probe_rc != 0 ]; then
    wine_run probe_services 60 'C:\vyrtest\vyrwinsetup.exe' services vyrwinecompat vyrtpbs2k16 vyrcgbs2k16
    cat "$LOG/probe_services.out"
    fail "the bus enumerators' control devices do not open (see $LOG/session.err)"
fi

# --- The fabric's root device ----------------------------------------------------------------------
say "The testbed's SCSI fabric (root\\vyrfab)"
wine_run fabric 120 'C:\vyrtest\vyrwinsetup.exe' root 'C:\vyrtest\vyrfab.inf' 'root\vyrfab' ||
    fail "could not install the fabric: $(cat "$LOG/fabric.out")"
wine_run fabric_open 60 'C:\vyrtest\vyrwinsetup.exe' open --wait 10 '\\.\VyrFabricCtl' ||
    fail "the fabric's control device does not open: $(cat "$LOG/fabric_open.out")"

# --- The class drivers of the paths: devices that appear later find them --------------------------------
# The fabric's drives are testbed models that carry generic ids only (GenSequential, GenChanger);
# the testbed binds those to the class driver stand-ins with the product's path filter above
# them, as the host's testbed machine does. The product's class packages are added too, as an
# administrator's machine holds them. Wine's SetupCopyOEMInf keeps no source location for a
# package, so the images go into system32\drivers here.
cp "$WINDOWS_BUILD/drivers/vyrtp2k16.sys" "$WINDOWS_BUILD/drivers/vyrcg2k16.sys" \
    "$WINDOWS_BUILD/drivers/vyrtpft2k16.sys" "$WINDOWS_BUILD/drivers/vyrcgft2k16.sys" "$DRIVE_C/windows/system32/drivers/"
for inf in 'C:\install\drivers\strdrvf2k16.inf' 'C:\install\drivers\lodarmf2k16.inf' \
           'C:\vyrtest\vyrtapeclass.inf' 'C:\vyrtest\vyrchangerclass.inf'; do
    name=${inf##*\\}
    wine_run "addinf_${name%.inf}" 60 'C:\vyrtest\vyrwinsetup.exe' addinf "$inf" ||
        fail "could not add $name: $(cat "$LOG/addinf_${name%.inf}.out")"
done

# --- The scenario --------------------------------------------------------------------------------------
[ -f "$TESTBED/vyrwinscen.exe" ] || fail "vyrwinscen.exe is missing from the windows build"
say "Scenario: vyrwinscen.exe --drives 2 --changers 1 --paths 2"
wine_run scenario 300 'C:\vyrtest\vyrwinscen.exe' --drives 2 --changers 1 --paths 2
scen_rc=$?
cat "$LOG/scenario.out"
[ $scen_rc = 0 ] || fail "the scenario failed (rc $scen_rc, see $LOG/scenario.err)"
if [ -n "$VYRSIM" ]; then
    bash "$HERE/compare_host.sh" "$LOG/scenario.out" "$VYRSIM" || fail "the Wine run and the host run disagree"
fi

# --- UninstallDrivers through the front end, and nothing left behind ------------------------------------
# Wine unloads no driver when its devices are removed, and the image of a loaded driver cannot be
# deleted: the uninstaller removes every device (its drivers see the removal) and then fails to
# delete the images of the drivers still loaded, with "Access denied". That outcome is expected;
# the drivers' process is then ended -- what Windows does by unloading each driver with its last
# device -- and a second run of the uninstaller, finding no devices left, removes the rest.
say "UninstallDrivers (uninst.exe -s -v:2)"
wine_run uninstall 180 'C:\install\uninst.exe' -s -v:2
rc=$?
cat "$LOG/uninstall.out" "$LOG/uninstall.err" >"$LOG/uninstall.all"
if [ $rc != 0 ]; then
    grep -q "DeleteSysFiles-> Access denied" "$LOG/uninstall.all" ||
        fail "UninstallDrivers failed other than on the loaded images (rc $rc, see $LOG/uninstall.all)"
    if grep "^ERR:" "$LOG/uninstall.err" | grep -v "QueryRegKey-> File not found\|DeleteSysFiles-> Access denied\|ProcessUninstallError-> Failed to delete all sys files" | grep -q .; then
        fail "UninstallDrivers reported other errors (see $LOG/uninstall.err)"
    fi
    say "  the images of the loaded drivers stayed, as expected under Wine; ending the drivers' process"
    # The winedevice process of this prefix (not another run's) that maps the drivers' images.
    for proc in /proc/[0-9]*; do
        if { tr '\0' '\n' <"$proc/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" &&
            grep -qi 'vyrtpbs2k16\.sys\|vyrcgbs2k16\.sys\|vyrfab\.sys' "$proc/maps" 2>/dev/null; then
            kill -9 "${proc#/proc/}" 2>/dev/null
        fi
    done
    sleep 2
    wine_run uninstall2 180 'C:\install\uninst.exe' -s -v:2 ||
        fail "the second UninstallDrivers failed (see $LOG/uninstall2.out, $LOG/uninstall2.err)"
fi
wine_run uninstall_gone 60 'C:\vyrtest\vyrwinsetup.exe' absent --wait 10 '\\.\VYRTpBsDvcLnk' '\\.\VYRCgBsDvcLnk' '\\.\Tape0' \
    '\\.\Changer0' || fail "devices left after the uninstall: $(cat "$LOG/uninstall_gone.out")"
for image in vyrtpbs2k16 vyrcgbs2k16 vyrtpft2k16 vyrcgft2k16; do
    [ ! -e "$DRIVE_C/windows/system32/drivers/$image.sys" ] || fail "$image.sys left in system32\\drivers"
done
say "PASS"
