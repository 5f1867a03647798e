#!/usr/bin/env bash
# End to end under Wine: the Windows Installer package, installed, upgraded, refused as a
# downgrade and uninstalled with msiexec /qn in a fresh prefix, once without a switch device and
# once with the test switch driver (tests/wine/switch_driver). The registration the package makes
# is compared value by value with the one the executable's -install makes from the same folder;
# the service's records are taken from Wine's eventlog trace and compared whole, in order. Every
# msiexec run keeps its verbose log in WORK_DIR/logs.
#
# The packages are the release's (packaging/release.sh): the stripped executable and its package,
# signed with a throwaway certificate made here. The signatures are verified, also on tampered
# copies; the registered event source is read back and its message table read as Event Viewer
# reads it; and at the end the release is made again, unsigned, from a second build of the same
# source in another folder, and must equal it but for the signatures.
#
# Usage: tests/wine/msi_e2e.sh BUILD_DIR WORK_DIR
#   BUILD_DIR: the windows preset's build (BrevRctlService.exe, BrevRctlService.msi,
#   packaging/package.env, tests/wine/switch_driver/, tests/wine/event_viewer/) of the source tree
#   this script is in, which must be a git checkout: the second build copies it.
set -uo pipefail

build=$(realpath "$1")
work=$(realpath -m "$2")
here=$(realpath "$(dirname "$0")")
driver_build=$build/tests/wine/switch_driver
driver_dir='switch-driver'
tool="C:\\$driver_dir\\switch_tool.exe"
inf="C:\\$driver_dir\\test_switch.inf"
# shellcheck source=tests/wine/lib.sh
source "$here/lib.sh"
# shellcheck source=tests/throwaway_certificate.sh
source "$here/../throwaway_certificate.sh"
# shellcheck source=packaging/package.env.in
source "$build/packaging/package.env"

package_dir='Program Files\BrevRctlService'
package_exe="C:\\$package_dir\\$service.exe"
packages='C:\packages'
package=$service-$version-x64.msi
release=$work/release
packaging=$here/../../packaging
viewer='C:\event-viewer\event_viewer.exe'
event_source_key="HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\$service"
# The release's dates: the time of the last commit, as scripts/dist.sh takes it.
SOURCE_DATE_EPOCH=$(git -C "$here" log -1 --format=%ct)
export SOURCE_DATE_EPOCH
# The newer package: the next patch version, with a copy of the executable that differs from the
# built one by a few bytes after its image (which Windows never loads), so that the upgrade can
# be seen to replace the file.
newer_version=${version%.*}.$((${version##*.} + 1))
upgrade_code=$(msiinfo export "$build/$service.msi" Property | awk '$1 == "UpgradeCode" { print $2 }')
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
msi_runs=0
product_codes=()

unix_path() {
    local path=${1#C:\\}
    echo "$WINEPREFIX/drive_c/${path//\\//}"
}

# Windows Installer keeps a GUID in the registry "packed": the first three groups reversed, the
# bytes of the last two with their hex digits swapped.
packed_guid() {
    local hex packed i
    hex=$(tr -d '{}-' <<<"$1")
    packed=$(rev <<<"${hex:0:8}")$(rev <<<"${hex:8:4}")$(rev <<<"${hex:12:4}")
    for ((i = 16; i < 32; i += 2)); do packed+=${hex:i+1:1}${hex:i:1}; done
    echo "$packed"
}

# msi TITLE STATUS ARG...: msiexec ARG... /qn with a verbose log of its own. Wine gives Unix only
# the low byte of a Windows exit status: ERROR_INSTALL_FAILURE (1603) arrives as 67.
msi() {
    local title=$1 expected_status=$2
    shift 2
    msi_runs=$((msi_runs + 1))
    local log
    log=$(printf 'logs\\%02d-%s.log' "$msi_runs" "${title//[^a-z0-9]/-}")
    mkdir -p "$(unix_path 'C:\logs')"
    wine msiexec "$@" /qn /l*v "C:\\$log" >"$work/msiexec.out" 2>>"$wine_log"
    local status=$?
    mkdir -p "$work/logs"
    cp "$(unix_path "C:\\$log")" "$work/logs/" 2>/dev/null
    if ((status == expected_status)); then
        pass "$title: msiexec exit status $status"
    else
        fail "$title: msiexec exit status $status, log $work/${log//\\//}"
        cat "$work/msiexec.out"
        grep -a -v '^Property(' "$(unix_path "C:\\$log")" | tr -d '\r' | tail -n 20
    fi
}

# The older package was refused by its launch condition, which found the newer product
# installed. Wine neither shows nor logs the condition's message, so the message is read from
# the package: with a user interface Windows shows it, and it writes it to the log.
check_downgrade_refused() {
    local title=$1 log
    log=$(ls "$work/logs/"*"-$title.log")
    lines_to "$work/expected" $'\n' "LaunchConditions." "NEWER_VERSION_FOUND = $product_code"
    {
        grep -a -o -E 'Action start [0-9:]+: [A-Za-z]+\.' "$log" | tail -n 1 | sed 's/.* //'
        grep -a -o -E 'NEWER_VERSION_FOUND = \{[0-9A-F-]+\}' "$log"
    } >"$work/actual"
    compare "$title: the launch condition found the newer product" "$work/expected" "$work/actual"
    lines_to "$work/expected" $'\n' \
        $'NOT NEWER_VERSION_FOUND\tA newer version of [ProductName] is already installed.'
    msiinfo export "$(unix_path "$packages")/current.msi" LaunchCondition | tr -d '\r' |
        tail -n +4 >"$work/actual"
    compare "$title: the package's message" "$work/expected" "$work/actual"
}

registration() {
    wine_tool reg query "$service_key"
}

# The registration of -install from the package's folder, against the documented values.
check_reference() {
    expected_registration "$1"
    registration >"$work/actual"
    compare "$2: the registration of -install" "$work/expected" "$work/actual"
}

# The package's registration is -install's with the description that the package adds. Wine's
# msiexec leaves MsiConfigureServices undone (its log: "Return value 0") and its SCM keeps no SID
# type, required privileges or failure actions anywhere that reg shows.
check_registration() {
    awk -v line="    Description    REG_SZ    $description" \
        '{ print } /^    DependOnService / { print line }' "$work/reference" >"$work/expected"
    registration >"$work/actual"
    compare "$1: the registration is -install's and the description" "$work/expected" \
        "$work/actual"
}

# check_service_actions TITLE: the service's actions of the msiexec run of that title, in the order
# they first started (Windows Installer logs each twice: as it writes its script, and as it
# runs it), the custom action between MsiConfigureServices and StartServices; then what the
# custom action logged: only that Wine's SCM knows no SERVICE_CONFIG_FAILURE_ACTIONS_FLAG
# (ERROR_INVALID_LEVEL).
check_service_actions() {
    local title=$1 log
    log=$(ls "$work/logs/"*"-${title//[^a-z0-9]/-}.log")
    lines_to "$work/expected" $'\n' StopServices DeleteServices AwaitServiceDeletion \
        SetConfigureServiceData InstallServices MsiConfigureServices ConfigureService StartServices \
        "ConfigureService: ChangeServiceConfig2W(SERVICE_CONFIG_FAILURE_ACTIONS_FLAG) failed w/err 0x0000007c"
    {
        tr -d '\r' <"$log" |
            grep -a -o -E '^Action start [0-9:]+: [A-Za-z]*(Service|Configure)[A-Za-z]*\.' |
            sed -E 's/^Action start [0-9:]+: //; s/\.$//' | awk '!seen[$0]++'
        tr -d '\r' <"$log" | grep -a -E '^ConfigureService: '
    } >"$work/actual"
    compare "$title: the service's actions, in order" "$work/expected" "$work/actual"
}

# The package's tables for the service, as msiinfo exports them: the registration of -install
# (ServiceInstall: own process 0x10, automatic start 2, error control ignore 0, the dependency
# WlanSvc as a [~]-separated list, LocalSystem, and the description); stop and delete at install
# and uninstall, waiting (ServiceControl events 0x2 | 0x8 | 0x20 | 0x80), start at install without
# waiting (0x1); the SID type unrestricted (ConfigType 5, SERVICE_SID_TYPE_UNRESTRICTED 1) and the
# privileges (6) at install and reinstall (Event 1 | 4); the actions between InstallServices and
# StartServices.
check_service_tables() {
    local package=$1 table
    lines_to "$work/expected" $'\n' \
        "Service	$service	$service	16	2	0		WlanSvc[~][~]	LocalSystem			ServiceExecutable	$description" \
        "ServiceStopAndDelete	$service	170		1	ServiceExecutable" \
        "ServiceStart	$service	1		0	ServiceExecutable" \
        "ServiceSidType	$service	5	5	1	ServiceExecutable" \
        "ServicePrivileges	$service	5	6	SeChangeNotifyPrivilege	ServiceExecutable" \
        "AwaitServiceDeletion	\$ServiceExecutable = 3	5780" \
        "SetConfigureServiceData	\$ServiceExecutable = 3	5790" \
        "InstallServices	VersionNT	5800" \
        "MsiConfigureServices	VersionNT	5850" \
        "ConfigureService	\$ServiceExecutable = 3	5870" \
        "StartServices	VersionNT	5900"
    {
        for table in ServiceInstall ServiceControl MsiServiceConfig; do
            msiinfo export "$package" "$table" | tr -d '\r' | tail -n +4
        done
        msiinfo export "$package" InstallExecuteSequence | tr -d '\r' |
            awk -F '\t' '$3 ~ /^[0-9]+$/ && $3 > 5700 && $3 < 6000' | sort -t $'\t' -k 3n
    } >"$work/actual"
    compare "the package's service tables" "$work/expected" "$work/actual"
}

# The package's custom actions, as msiinfo exports them: the one that sets ConfigureService's
# CustomActionData to the installed executable's path (51, immediate), and ConfigureService and
# AwaitServiceDeletion, entries of a DLL in the Binary table (1), deferred (0x400), as LocalSystem
# (0x800). Whatever they are, no
# custom action runs a program: none has a type whose low three bits are 2 (an .exe in the Binary
# table, an installed file, a path in a directory or in a property).
check_custom_actions() {
    local package=$1
    lines_to "$work/expected" $'\n' \
        "AwaitServiceDeletion	3073	ServiceConfig	AwaitServiceDeletion	" \
        "ConfigureService	3073	ServiceConfig	ConfigureService	" \
        "SetConfigureServiceData	51	ConfigureService	[#ServiceExe]	"
    msiinfo export "$package" CustomAction | tr -d '\r' | tail -n +4 | sort >"$work/actual"
    compare "the package's custom actions" "$work/expected" "$work/actual"
    local programs
    programs=$(awk -F '\t' '$2 % 8 == 2 { print $1 }' "$work/actual")
    if [[ -z $programs ]]; then
        pass "no custom action runs a program"
    else
        fail "no custom action runs a program: $programs"
    fi
}

# A service run without a switch device: started, it finds none and stops with exit code 0.
check_deviceless_run() {
    local title=$1 first_line=$2
    if wait_until_stopped; then pass "$title: the service stopped"; else fail "$title: the service did not stop"; fi
    lines_to "$work/expected" $'\n' \
        "trace:eventlog:ReportEventW L\"$service\"" \
        'trace:eventlog:ReportEventW L"BrevRbtnService in OnStart"' \
        "trace:eventlog:ReportEventW L\"$service\"" \
        'trace:eventlog:ReportEventW L"Cannot open device!"'
    records_since "$first_line" >"$work/actual"
    compare "$title: the service ran" "$work/expected" "$work/actual"
}

# The deleted service leaves Wine's SCM once its process has ended.
wait_until_unregistered() {
    local attempt
    for ((attempt = 0; attempt < 60; attempt++)); do
        if ! wine sc query "$service" >/dev/null 2>&1 &&
            ! wine reg query "$service_key" >/dev/null 2>&1; then
            return 0
        fi
        sleep 0.5
    done
    return 1
}

check_unregistered() {
    if wait_until_unregistered; then pass "$1: no registration"; else fail "$1: no registration"; fi
}

# The product as Apps & features lists it: exactly one entry of this name, with its version and
# publisher. Sets `product_code` to its key's name.
check_product() {
    local title=$1 expected_version=$2
    wine_tool reg query "$uninstall_key" /s >"$work/uninstall"
    local keys
    keys=$(awk -v name="$service" '/^HKEY/ { key = $0 }
        $1 == "DisplayName" && $3 == name { print key }' "$work/uninstall")
    if [[ $(wc -l <<<"$keys") == 1 && -n $keys ]]; then
        pass "$title: one product entry"
    else
        fail "$title: one product entry: ${keys:-none}"
        return
    fi
    product_code=${keys##*\\}
    product_codes+=("$product_code")
    lines_to "$work/expected" $'\n' \
        "    DisplayName    REG_SZ    $service" \
        "    DisplayVersion    REG_SZ    $expected_version" \
        "    Publisher    REG_SZ    $manufacturer" \
        "    UninstallString    REG_EXPAND_SZ    MsiExec.exe /X$product_code" \
        "    WindowsInstaller    REG_DWORD    0x1"
    wine_tool reg query "$keys" |
        grep -E '^    (DisplayName|DisplayVersion|Publisher|UninstallString|WindowsInstaller) ' \
            >"$work/actual"
    compare "$title: the product entry" "$work/expected" "$work/actual"
}

check_no_product() {
    wine_tool reg query "$uninstall_key" /s >"$work/uninstall"
    if grep -q -E "DisplayName +REG_SZ +$service\$" "$work/uninstall"; then
        fail "$1: no product entry"
    else
        pass "$1: no product entry"
    fi
}

check_installed_file() {
    if cmp -s "$2" "$(unix_path "$package_exe")"; then
        pass "$1: the installed executable is $3"
    else
        fail "$1: the installed executable is $3"
    fi
}

# The version resource of the installed executable, as windres reads it back: what Explorer
# shows under Properties > Details.
check_version_resource() {
    local major minor patch
    IFS=. read -r major minor patch <<<"$version"
    lines_to "$work/expected" $'\n' \
        "1 VERSIONINFO" \
        " FILEVERSION $major, $minor, $patch, 0" \
        " PRODUCTVERSION $major, $minor, $patch, 0" \
        " FILEFLAGSMASK 0x3f" \
        " FILEOS 0x40004" \
        " FILETYPE 0x1" \
        "BEGIN" \
        "  BLOCK \"StringFileInfo\"" \
        "  BEGIN" \
        "    BLOCK \"040904B0\"" \
        "    BEGIN" \
        "      VALUE \"CompanyName\", \"$manufacturer\"" \
        "      VALUE \"FileDescription\", \"$description\"" \
        "      VALUE \"FileVersion\", \"$version.0\"" \
        "      VALUE \"InternalName\", \"$service\"" \
        "      VALUE \"OriginalFilename\", \"$service.exe\"" \
        "      VALUE \"ProductName\", \"$service\"" \
        "      VALUE \"ProductVersion\", \"$version\"" \
        "    END" \
        "  END" \
        "  BLOCK \"VarFileInfo\"" \
        "  BEGIN" \
        "    VALUE \"Translation\", 0x409, 1200" \
        "  END" \
        "END"
    x86_64-w64-mingw32-windres --input-format=coff --output-format=rc \
        --input="$(unix_path "$package_exe")" 2>/dev/null |
        sed -n '/^1 VERSIONINFO/,/^END/p' >"$work/actual"
    compare "$1: the version resource" "$work/expected" "$work/actual"
}

# The service's process, by the image names Wine's process list shows. Wine 8.0's wmic writes
# UTF-16LE to a pipe, Wine 10.0's the console's code page.
service_process_runs() {
    wine wmic process get name >"$work/processes" 2>>"$wine_log"
    if grep -q -a -P '\x00' "$work/processes"; then
        iconv -f UTF-16LE -t UTF-8 "$work/processes"
    else
        cat "$work/processes"
    fi | tr -d '\r' | grep -q -E "^$service\\.exe +\$"
}

# check_process TITLE runs|gone: waits a little for the wanted state, as a process ends shortly
# after its service has reported its stop.
check_process() {
    local title=$1 wanted=$2 attempt state
    for ((attempt = 0; attempt < 20; attempt++)); do
        state=gone
        service_process_runs && state=runs
        [[ $state == "$wanted" ]] && break
        sleep 0.5
    done
    if [[ $state == "$wanted" ]]; then
        pass "$title: the process $wanted"
    else
        fail "$title: the process $wanted"
    fi
}

registry_export() {
    local hive=$1 file=$2
    wine reg export "$hive" "C:\\export.reg" /y >/dev/null 2>>"$wine_log"
    iconv -f UTF-16LE -t UTF-8 "$(unix_path 'C:\export.reg')" | tr -d '\r' >"$file"
}

# The values under Windows Installer's own keys, each as "key: value": the keys may stay, empty.
installer_values() {
    awk '/^\[/ { key = $0; next } NF { print key ": " $0 }' "$1" |
        grep -E '^\[HKEY_LOCAL_MACHINE\\Software\\(Classes\\Installer|Microsoft\\Windows\\CurrentVersion\\(Installer|Uninstall))'
}

# Nothing of the product after the uninstall: no registry key or value that names it (its folder
# has its name) or its package and upgrade codes, also packed; Windows Installer's own keys hold the
# values they held before the first install; no file rename waits for a reboot; neither the
# folder nor a cached package is left on disk.
check_nothing_left() {
    local title=$1 hive code
    local patterns=("$service" "$upgrade_code" "$(packed_guid "$upgrade_code")")
    for code in "${product_codes[@]}"; do patterns+=("$code" "$(packed_guid "$code")"); done
    for hive in HKLM HKCU; do
        registry_export "$hive" "$work/after-$hive.reg"
        if grep -i -F -n "${patterns[@]/#/-e}" "$work/after-$hive.reg" >"$work/left"; then
            fail "$title: nothing of it in $hive"
            cat "$work/left"
        else
            pass "$title: nothing of it in $hive"
        fi
    done
    installer_values "$work/before-HKLM.reg" >"$work/expected"
    installer_values "$work/after-HKLM.reg" >"$work/actual"
    compare "$title: Windows Installer's keys as before" "$work/expected" "$work/actual"
    if grep -q -i PendingFileRenameOperations "$work/after-HKLM.reg"; then
        fail "$title: no rename waits for a reboot"
    else
        pass "$title: no rename waits for a reboot"
    fi
    if [[ -e $(unix_path "C:\\$package_dir") ]]; then fail "$title: the folder is gone"; else pass "$title: the folder is gone"; fi
    if compgen -G "$(unix_path 'C:\windows\Installer')/*.msi" >/dev/null; then
        fail "$title: no cached package"
    else
        pass "$title: no cached package"
    fi
}

# --- the device-switch part.

# A start with the BIOS status 3: OnStart, the ten readiness attempts (Wine's Native Wifi lists
# no interface), the status request and its radio request.
expect_start() {
    local attempt
    expected_records+=("BrevRbtnService in OnStart" "WaitUntilCanQuerryWlanState")
    for ((attempt = 0; attempt < 10; attempt++)); do expected_records+=("TryQueryWlanState"); done
    expected_records+=("Send request sucessful!" "ReadAndUpdateWlanState, bSendRet: TRUE"
        "DoUpdateWifiState, validStatus: TRUE, wifiStatus: 3, wifiState: 1"
        "ProcessHotkeyPressed, state: 1")
}

check_running() {
    check_sc_query "$1: the service runs" "4  RUNNING"
    check_process "$1" runs
    run "$1: a read is pending" 0 "$tool" wait-read -- "A read is pending."
}

# --- the signatures.

# A throwaway root and a code-signing certificate that it issues (RSA, extended key usage
# codeSigning), the signer's in a PKCS#12 file with its chain, under a password that only the
# environment carries, as packaging/sign.sh wants it.
make_certificate() {
    local dir=$work/certificate
    export BREVRCTL_SIGN_PFX=$dir/signer.pfx BREVRCTL_SIGN_PASSWORD=throwaway-$RANDOM
    # The root that packaging/pe_check.py verifies the release's signature against.
    export BREVRCTL_SIGN_CA=$dir/root.pem
    throwaway_certificate "$dir" "$service test" &&
        openssl pkcs12 -export -in "$dir/signer.pem" -inkey "$dir/signer.key" \
            -certfile "$dir/root.pem" -out "$BREVRCTL_SIGN_PFX" -passout env:BREVRCTL_SIGN_PASSWORD
}

verify_signature() {
    osslsigncode verify -CAfile "$work/certificate/root.pem" -in "$1" >"$work/verify.out" 2>&1
}

# check_signature TITLE FILE OFFSET: FILE verifies, and a copy with its byte at OFFSET changed
# does not.
check_signature() {
    local title=$1 file=$2 offset=$3
    if verify_signature "$file"; then
        pass "$title: the signature verifies"
    else
        fail "$title: the signature verifies"
        cat "$work/verify.out"
    fi
    cp "$file" "$work/tampered"
    local byte
    byte=$(od -A n -t u1 -j "$offset" -N 1 "$file")
    printf '%b' "\\x$(printf '%02x' $(((byte + 1) % 256)))" |
        dd of="$work/tampered" bs=1 seek="$offset" conv=notrunc status=none
    if verify_signature "$work/tampered"; then
        fail "$title: a byte changed at $offset fails verification"
    else
        pass "$title: a byte changed at $offset fails verification"
    fi
}

# sign_file TITLE FILE: packaging/sign.sh on FILE, checked.
sign_file() {
    if bash "$packaging/sign.sh" "$2" 2>>"$wine_log" && verify_signature "$2"; then
        pass "$1 is signed"
    else
        fail "$1 is signed"
    fi
}

# --- the event source.

# The event source the package registers, with the values of the Windows documentation of event
# sources: the message file, an expandable string, is the installed executable; the types are
# error (1) and information (4).
check_event_source() {
    lines_to "$work/expected" $'\n' "" "HKEY_LOCAL_MACHINE\\${event_source_key#HKLM\\}" \
        "    EventMessageFile    REG_EXPAND_SZ    $package_exe" \
        "    TypesSupported    REG_DWORD    0x5" ""
    wine_tool reg query "$event_source_key" >"$work/actual"
    compare "$1: the event source" "$work/expected" "$work/actual"
}

# What Event Viewer shows of every record the session has written so far, and of an error and a
# failure record, which the runs here do not write: FormatMessageW with the registered message
# file, event identifier 0 and the record's two strings gives the message exactly, with no line
# end of its own.
check_event_descriptions() {
    local messages
    mapfile -t messages < <(records_since 1 | awk 'NR % 2 == 0' |
        sed -E 's/^[a-z]+:eventlog:ReportEventW L"(.*)"$/\1/' | sort -u)
    messages+=("WlanQueryInterface failed w/err 0x00000005" "Service failed to start.")
    printf '%s\n' "${messages[@]}" >"$work/expected"
    printf "$service\t%s\n" "${messages[@]}" |
        wine "$viewer" "$service" 0 >"$work/actual" 2>>"$wine_log"
    compare "$1: Event Viewer shows the ${#messages[@]} kinds of message" \
        "$work/expected" "$work/actual"
}

# --- set-up: a fresh prefix with nothing of ours on its disk, and the packages.
wine_boot "$build/$service.exe"
rm -rf "$(unix_path "C:\\$install_dir")"
if make_certificate 2>>"$wine_log"; then pass "a throwaway certificate"; else fail "a throwaway certificate"; fi
if bash "$packaging/release.sh" "$build" "$release" >>"$wine_log" 2>&1; then
    pass "the signed release is made"
else
    fail "the signed release is made"
fi
# A byte of the executable's code, and one of the package's summary information.
check_signature "the released executable" "$release/$service.exe" 4096
check_signature "the released package" "$release/$package" \
    "$(grep -a -b -o -F "$description" "$release/$package" | head -n 1 | cut -d: -f1)"

# The newer package, and a rebuild of the same version from another commit: each with a copy of
# the executable that differs from the released one by a few bytes after its image (which Windows
# never loads), so that the replaced file can be told apart; both signed.
mkdir -p "$(unix_path "$packages")" "$work/newer" "$work/rebuilt"
cp "$release/$package" "$(unix_path "$packages")/current.msi"
cp "$release/$service.exe" "$work/newer/"
printf 'newer build\n' >>"$work/newer/$service.exe"
cp "$release/$service.exe" "$work/rebuilt/"
printf 'another commit\n' >>"$work/rebuilt/$service.exe"
if bash "$packaging/build-msi.sh" "$build" "$(unix_path "$packages")/newer.msi" \
    "$newer_version" "$work/newer/$service.exe" 2>>"$wine_log"; then
    pass "the newer package ($newer_version) is built"
else
    fail "the newer package ($newer_version) is built"
fi
sign_file "the newer package" "$(unix_path "$packages")/newer.msi"
if bash "$packaging/build-msi.sh" "$build" "$(unix_path "$packages")/rebuilt.msi" "$version" \
    "$work/rebuilt/$service.exe" 2>>"$wine_log"; then
    pass "a rebuild of the package ($version) is built"
else
    fail "a rebuild of the package ($version) is built"
fi
sign_file "the rebuilt package" "$(unix_path "$packages")/rebuilt.msi"
mkdir -p "$(unix_path 'C:\event-viewer')"
cp "$build/tests/wine/event_viewer/event_viewer.exe" "$(unix_path 'C:\event-viewer')/"
registry_export HKLM "$work/before-HKLM.reg"

# --- the reference: -install from the folder the package installs into.
mkdir -p "$(unix_path "C:\\$package_dir")"
cp "$release/$service.exe" "$(unix_path "$package_exe")"
first_line=$(($(session_lines) + 1))
run "reference: -install" 0 "$package_exe" -install -- "$service is installed."
check_reference "$package_exe" "reference"
registration >"$work/reference"
check_deviceless_run "reference" "$first_line"
run "reference: -remove" 0 "$package_exe" -remove -- "$service is removed."
check_unregistered "reference"
rm -rf "$(unix_path "C:\\$package_dir")"

# A registration of -install left behind in a folder that users can write, as one made before
# -install checked its path would be (Wine shows this folder as 0755 and owned by the installing
# account, so -install accepts it).
downloads='C:\users\Public\Downloads'
mkdir -p "$(unix_path "$downloads")"
cp "$release/$service.exe" "$(unix_path "$downloads")/"
run "-install from Downloads" 0 "$downloads\\$service.exe" -install -- "$service is installed."
check_reference "$downloads\\$service.exe" "-install from Downloads"
wait_until_stopped

# --- without a switch device.
first_line=$(($(session_lines) + 1))
check_service_tables "$(unix_path "$packages")/current.msi"
check_custom_actions "$(unix_path "$packages")/current.msi"
msi "install" 0 /i "$packages\\current.msi"
check_service_actions "install"
check_registration "install"
check_deviceless_run "install" "$first_line"
check_installed_file "install" "$release/$service.exe" "the released one"
check_version_resource "install"
check_event_source "install"
check_product "install" "$version"
rm -rf "$(unix_path "$downloads")/$service.exe"

# A repair, which a standard user may start of a per-machine product (msiexec /fa): every file
# reinstalled, and the service stopped, deleted, registered, hardened and started again by the
# same actions, with no program run. /fa stands for REINSTALL=ALL REINSTALLMODE=a (Microsoft's
# msiexec options); Wine's msiexec hands a package's path given to /f to MsiReinstallProduct,
# which takes a product code only (ERROR_UNKNOWN_PRODUCT), and takes no product code itself.
first_line=$(($(session_lines) + 1))
msi "repair" 0 /i "$packages\\current.msi" REINSTALL=ALL REINSTALLMODE=a
check_service_actions "repair"
check_registration "repair"
check_deviceless_run "repair" "$first_line"
check_installed_file "repair" "$release/$service.exe" "the released one"
check_product "repair" "$version"

# A rebuild of the same version has a product code of its own; it replaces the installed one.
first_line=$(($(session_lines) + 1))
installed_code=$product_code
msi "rebuild of the same version" 0 /i "$packages\\rebuilt.msi"
check_registration "rebuild of the same version"
check_deviceless_run "rebuild of the same version" "$first_line"
check_product "rebuild of the same version" "$version"
if [[ $product_code != "$installed_code" ]]; then
    pass "rebuild of the same version: another product code"
else
    fail "rebuild of the same version: another product code"
fi

first_line=$(($(session_lines) + 1))
msi "upgrade" 0 /i "$packages\\newer.msi"
check_service_actions "upgrade"
check_registration "upgrade"
check_deviceless_run "upgrade" "$first_line"
check_installed_file "upgrade" "$work/newer/$service.exe" "the newer one"
check_product "upgrade" "$newer_version"

first_line=$(($(session_lines) + 1))
msi "downgrade" 67 /i "$packages\\current.msi"
check_downgrade_refused "downgrade"
check_registration "downgrade"
check_installed_file "downgrade" "$work/newer/$service.exe" "still the newer one"
check_product "downgrade" "$newer_version"
records_since "$first_line" >"$work/actual"
compare "downgrade: the service was left alone" /dev/null "$work/actual"

msi "uninstall" 0 /x "$packages\\newer.msi"
check_unregistered "uninstall"
check_no_product "uninstall"
check_nothing_left "uninstall"

# A folder chosen on the command line is not taken: the package's folder is a private property,
# so the service is registered in Program Files as by default, and nothing goes to C:\Tools.
first_line=$(($(session_lines) + 1))
msi "install with INSTALLDIR" 0 /i "$packages\\current.msi" 'INSTALLDIR=C:\Tools\'
check_registration "install with INSTALLDIR"
check_deviceless_run "install with INSTALLDIR" "$first_line"
check_installed_file "install with INSTALLDIR" "$release/$service.exe" "the released one"
if [[ -e $(unix_path 'C:\Tools') ]]; then
    fail "install with INSTALLDIR: nothing in C:\Tools"
else
    pass "install with INSTALLDIR: nothing in C:\Tools"
fi
msi "uninstall after INSTALLDIR" 0 /x "$packages\\current.msi"
check_unregistered "uninstall after INSTALLDIR"
check_no_product "uninstall after INSTALLDIR"

# --- with the test switch driver: the service blocks in its read after each install.
mkdir -p "$(unix_path "C:\\$driver_dir")"
cp "$driver_build/test_switch.sys" "$driver_build/test_switch.inf" "$driver_build/switch_tool.exe" \
    "$(unix_path "C:\\$driver_dir")/"
run "install the test device" 0 "$tool" install "$inf" -- "Switch device installed."
run "BIOS status 3" 0 "$tool" bios 3 -- "BIOS wifi status set to 3."

start_run
msi "install with a device" 0 /i "$packages\\current.msi"
expect_start
check_records "install with a device"
check_registration "install with a device"
check_running "install with a device"
run "switch value 0" 0 "$tool" switch 0 -- "Read completed with 0."
expected_records+=("DoUpdateWifiState, validStatus: TRUE, wifiStatus: 0, wifiState: 0"
    "ProcessHotkeyPressed, state: 0")
check_records "switch value 0"

# A repair while the service runs: stopped, its read cancelled, then registered and started anew
# in the same transaction.
start_run
msi "repair with a device" 0 /i "$packages\\current.msi" REINSTALL=ALL REINSTALLMODE=a
expected_records+=("BrevRbtnService in OnStop" "Cannot read device!")
expect_start
check_records "repair with a device"
check_service_actions "repair with a device"
check_registration "repair with a device"
check_running "repair with a device"

# The older product's uninstall stops the running service, its read cancelled, before the newer
# one registers and starts it again.
start_run
msi "upgrade with a device" 0 /i "$packages\\newer.msi"
expected_records+=("BrevRbtnService in OnStop" "Cannot read device!")
expect_start
check_records "upgrade with a device"
check_registration "upgrade with a device"
check_product "upgrade with a device" "$newer_version"
check_running "upgrade with a device"
run "upgrade with a device: the driver's count" 0 "$tool" state -- \
    "reads pending: 1, reads cancelled: 2, status requests: 3"
check_event_source "upgrade with a device"
check_event_descriptions "upgrade with a device"

# By the product code, as Apps & features uninstalls.
start_run
msi "uninstall with a device" 0 /x "$product_code"
expected_records+=("BrevRbtnService in OnStop" "Cannot read device!")
check_records "uninstall with a device"
run "uninstall with a device: the driver's count" 0 "$tool" state -- \
    "reads pending: 0, reads cancelled: 3, status requests: 3"
check_process "uninstall with a device" gone
check_unregistered "uninstall with a device"
check_no_product "uninstall with a device"

run "remove the test device" 0 "$tool" remove -- "Switch device removed."

# --- the release again, from a second build of the same source in another folder, minutes after
# the first. Unsigned, it equals the first build's unsigned release; with the signed release's
# signatures attached, it is the signed release, byte for byte.
end_session
rebuild=$work/rebuild
source_root=$(realpath "$here/../..")
mkdir -p "$rebuild/source"
(cd "$source_root" && git ls-files -z --cached --others --exclude-standard |
    tar --null --ignore-failed-read -T - -cf -) | tar -xf - -C "$rebuild/source"
if (cd "$rebuild/source" && cmake --preset windows && cmake --build --preset windows \
    -j "${JOBS:-2}" --target BrevRctlService service_config_action) >"$rebuild/build.log" \
    2>&1; then
    pass "a second build in $rebuild/source"
else
    fail "a second build in $rebuild/source"
    tail -n 20 "$rebuild/build.log"
fi
unset BREVRCTL_SIGN_PFX BREVRCTL_SIGN_PASSWORD
bash "$packaging/release.sh" "$build" "$work/unsigned" >>"$wine_log" 2>&1
bash "$packaging/release.sh" "$rebuild/source/build/windows" "$rebuild/release" >>"$wine_log" 2>&1
compare "the second build's release equals the first's: SHA256SUMS" "$work/unsigned/SHA256SUMS" \
    "$rebuild/release/SHA256SUMS"
BREVRCTL_SIGNATURES_FROM=$release bash "$packaging/release.sh" "$rebuild/source/build/windows" \
    "$rebuild/attached" >>"$wine_log" 2>&1
compare "the second build's release with the release's signatures is the release: SHA256SUMS" \
    "$release/SHA256SUMS" "$rebuild/attached/SHA256SUMS"

echo "wine end to end of the installer package: $passed checks passed, $failed checks failed," \
    "$SECONDS s"
((failed == 0))
