#!/usr/bin/env bash
# Builds the Windows Installer package with wixl from BrevRctlService.wxs and the project's
# version, publisher and description, which CMake writes to BUILD_DIR/packaging/package.env.
# A VERSION or an EXE other than the build's give another package of the same product: the
# tests build their newer version so, without a second build.
#
# The same inputs give the same package, byte for byte. Its dates (the summary information's
# creation and save times, the cabinet's file date) are SOURCE_DATE_EPOCH, the time now when it
# is not set. Its product and package codes are name-based GUIDs (RFC 4122, version 5) of
# everything it is made of, so that every package that differs has codes of its own, as Windows
# Installer requires of a package code and as a major upgrade requires of a product code.
#
# Usage: packaging/build-msi.sh BUILD_DIR OUTPUT [VERSION [EXE]]
#   BUILD_DIR: the windows preset's build, with the custom action's DLL
#   (BUILD_DIR/packaging/ServiceConfig.dll); EXE: by default BUILD_DIR/BrevRctlService.exe.
set -euo pipefail

build=$(realpath "$1")
output=$(realpath -m "$2")
source_wxs=$(realpath "$(dirname "$0")/BrevRctlService.wxs")
# shellcheck source=packaging/package.env.in
source "$build/packaging/package.env"
version=${3:-$version}
exe=$(realpath "${4:-$build/BrevRctlService.exe}")
action_dll=$build/packaging/ServiceConfig.dll
epoch=${SOURCE_DATE_EPOCH:-$(date +%s)}

# Windows Installer compares the first three fields of a product version.
if [[ ! $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]]; then
    echo "build-msi: the version must be MAJOR.MINOR.PATCH: $version" >&2
    exit 1
fi
next_version=${version%.*}.$((${version##*.} + 1))

if [[ $(basename "$exe") != BrevRctlService.exe ]]; then
    echo "build-msi: the executable must be named BrevRctlService.exe: $exe" >&2
    exit 1
fi
if [[ ! $epoch =~ ^[0-9]+$ ]]; then
    echo "build-msi: SOURCE_DATE_EPOCH must be seconds since 1970: $epoch" >&2
    exit 1
fi

# The GUID of NAME in the namespace of the GUID NAMESPACE: SHA-1 of the namespace's 16 bytes and
# the name, with the version (5) and the variant (10xx) bits set.
name_based_guid() {
    local hash variant
    hash=$({
        printf '%b' "$(tr -d '{}-' <<<"$1" | sed 's/../\\x&/g')"
        printf '%s' "$2"
    } | sha1sum)
    variant=$(printf '%x' $((0x${hash:16:1} & 0x3 | 0x8)))
    hash=${hash:0:12}5${hash:13:3}$variant${hash:17:15}
    echo "{${hash:0:8}-${hash:8:4}-${hash:12:4}-${hash:16:4}-${hash:20:12}}" | tr a-f A-F
}

upgrade_code=$(sed -n 's/.*UpgradeCode="\([0-9A-F-]*\)".*/\1/p' "$source_wxs")
contents=$(printf '%s\n' "$version" "$manufacturer" "$description" "$epoch" \
    "$(sha256sum <"$source_wxs")" "$(sha256sum <"$exe")" "$(sha256sum <"$action_dll")" |
    sha256sum)
product_code=$(name_based_guid "$upgrade_code" "ProductCode ${contents%% *}")
package_code=$(name_based_guid "$upgrade_code" "PackageCode ${contents%% *}")

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
# The cabinet keeps the file's modification time, in local time: both made fixed.
cp "$exe" "$stage/BrevRctlService.exe"
cp "$action_dll" "$stage/ServiceConfig.dll"
touch -d "@$epoch" "$stage/BrevRctlService.exe"
export TZ=UTC

# wixl takes a file's Source relative to its working directory and refuses an absolute path.
cd "$stage"
wixl --arch x64 --output "$output" \
    --define "Version=$version" \
    --define "NextVersion=$next_version" \
    --define "Manufacturer=$manufacturer" \
    --define "Description=$description" \
    --define "ProductCode=$product_code" \
    "$source_wxs"

# wixl 0.101 draws the package code at random and dates the package now, whatever the source
# says: the summary information is rewritten with the package code (property 9) and the
# creation and save times (12, 13).
date=$(date -u -d "@$epoch" '+%Y/%m/%d %H:%M:%S')
printf '%s\n' 'PropertyId	Value' 'i2	l255' '_SummaryInformation	PropertyId' \
    "9	$package_code" "12	$date" "13	$date" >"$stage/_SummaryInformation.idt"
msibuild "$output" -i "$stage/_SummaryInformation.idt"

# The MsiServiceConfig table (Windows Installer 5.0), which wixl 0.101 does not write, with its
# columns as Microsoft documents them: at install and reinstall (Event 1 + 4) of the
# executable's component, the service's SID type SERVICE_SID_TYPE_UNRESTRICTED (ConfigType 5,
# SERVICE_CONFIG_SERVICE_SID_INFO; 1) and its required privileges (6,
# SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO) cut to SeChangeNotifyPrivilege. Its action,
# MsiConfigureServices, goes between InstallServices (5800) and StartServices (5900), under their
# condition.
printf '%s\n' 'MsiServiceConfig	Name	Event	ConfigType	Argument	Component_' \
    's72	s255	i2	i4	S0	s72' 'MsiServiceConfig	MsiServiceConfig' \
    'ServiceSidType	BrevRctlService	5	5	1	ServiceExecutable' \
    'ServicePrivileges	BrevRctlService	5	6	SeChangeNotifyPrivilege	ServiceExecutable' \
    >"$stage/MsiServiceConfig.idt"
msibuild "$output" -i "$stage/MsiServiceConfig.idt" -q "INSERT INTO \`InstallExecuteSequence\` \
(\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('MsiConfigureServices', 'VersionNT', 5850)"
