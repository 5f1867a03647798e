#!/usr/bin/env bash
# Runs the README's two commands, the demo and the test command, as root inside a fresh Debian
# root of the given release (12 or 13), made with debootstrap from the Debian archive this
# machine's apt uses: the honest test that the project installs what it needs on that release.
# Nothing is cached: every run bootstraps the root and installs the packages anew. Every mount is
# undone and the root removed on every path out.
#   scripts/test-debian.sh 13
# The archive may be named with DEBIAN_MIRROR (a URL); the root is made under TMPDIR (/var/tmp).
set -uo pipefail

cd "$(dirname "$0")/.." || exit 1
project=$PWD

usage() {
    echo "usage: scripts/test-debian.sh 12|13" >&2
    exit 2
}
(($# == 1)) || usage
case $1 in
12) suite=bookworm ;;
13) suite=trixie ;;
*) usage ;;
esac

log() { echo "test-debian: $*"; }
die() {
    echo "test-debian: $*" >&2
    exit 1
}

((EUID == 0)) || die "needs root (debootstrap, chroot and mounts)"
for tool in debootstrap chroot git mount umount tar; do
    command -v "$tool" >/dev/null || {
        [[ $tool == debootstrap ]] || die "no $tool"
        log "installing debootstrap"
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null ||
            { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null; } ||
            die "cannot install debootstrap"
    }
done

# The archive this machine's apt already reaches: its first Debian source that is not the
# security archive, in either the deb822 or the one-line form.
host_mirror() {
    local file
    for file in /etc/apt/sources.list.d/*.sources; do
        [[ -r $file ]] || continue
        awk '/^URIs:/ { for (i = 2; i <= NF; i++) print $i }' "$file"
    done
    [[ -r /etc/apt/sources.list ]] && awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; break } }' /etc/apt/sources.list
}
mirror=${DEBIAN_MIRROR:-$(host_mirror | grep -E '/debian/?$' | head -n 1)}
[[ -n $mirror ]] || die "no Debian archive in this machine's apt sources; name one with DEBIAN_MIRROR"

root=$(mktemp -d "${TMPDIR:-/var/tmp}/debian$1-root.XXXXXX") || die "cannot make the root's folder"
# It becomes the root's /, which every account there (apt's _apt too) must be able to enter.
chmod 755 "$root"
mounted=()
cleanup() {
    local index
    for ((index = ${#mounted[@]} - 1; index >= 0; index--)); do
        umount -R "${mounted[index]}" 2>/dev/null || umount -R -l "${mounted[index]}" 2>/dev/null ||
            echo "test-debian: could not unmount ${mounted[index]}" >&2
    done
    # Only once nothing is mounted below it: rm must never reach the machine's /dev or /proc.
    if ! grep -q -F " $root/" /proc/self/mounts; then
        rm -rf --one-file-system "$root"
    else
        echo "test-debian: $root is left, something is still mounted below it" >&2
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

start=$SECONDS
log "bootstrapping Debian $1 ($suite) into $root"
debootstrap --variant=minbase "$suite" "$root" "$mirror" >"$root.debootstrap.log" 2>&1 || {
    tail -n 20 "$root.debootstrap.log" >&2
    rm -f "$root.debootstrap.log"
    die "debootstrap failed"
}
rm -f "$root.debootstrap.log"
log "bootstrapped in $((SECONDS - start)) s"

cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
for dir in proc sys dev; do
    mount --rbind "/$dir" "$root/$dir" || die "cannot bind /$dir"
    mounted+=("$root/$dir")
    # Unmounting inside the root must not unmount the machine's own.
    mount --make-rslave "$root/$dir"
done

# The project as it is: a clone of its history (the release's time stamps come from the last
# commit), with what the work tree changes or adds on top, without what was built here.
git clone -q --no-hardlinks "$project" "$root/project" || die "cannot clone the project"
changed=()
while IFS= read -r -d '' file; do
    if [[ -e $file ]]; then changed+=("$file"); else rm -f -- "$root/project/$file"; fi
done < <(git ls-files -z --modified --others --exclude-standard)
if ((${#changed[@]})); then
    tar -cf - -- "${changed[@]}" | tar -C "$root/project" -xf - || die "cannot copy the project's changes"
fi

in_root() {
    chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8 CI="${CI:-}" JOBS="${JOBS:-2}" \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        bash -c "cd /project && $1"
}

start=$SECONDS
log "Debian $1: scripts/demo.sh"
in_root "bash scripts/demo.sh" || die "Debian $1: the demo failed"
log "Debian $1: demo in $((SECONDS - start)) s"

start=$SECONDS
log "Debian $1: scripts/test.sh"
in_root "bash scripts/test.sh"
status=$?
log "Debian $1: test command in $((SECONDS - start)) s, exit status $status"
exit "$status"
