#!/usr/bin/env bash
# Builds MOLV's container image from dist/Containerfile, with podman (or
# buildah where there is no podman), and prints its size. As root on a Debian
# machine; podman is installed when neither tool is there.
#
#   scripts/build-image.sh [NAME]      NAME defaults to localhost/molv:VERSION
#
# The recipe starts from Debian's own image (its `ARG DEBIAN`). When that is
# not here and cannot be pulled (no registry can be reached), the same Debian
# is made here from Debian's packages with mmdebstrap (installed when
# missing) and given that name, so that the recipe stays as it is.
#
# Environment: MOLV_BUILD_ARGS, more arguments for the build (for example
# "--build-arg WINE32=no").
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
version=$(sed -n 's/^project(molv VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
image=${1:-localhost/molv:$version}
base=$(sed -n 's/^ARG DEBIAN=//p' dist/Containerfile)
suite=${base##*:}
suite=${suite%-slim}

say() { echo "build-image: $*"; }

install_packages() {
  say "installing $*"
  apt-get update -q >/dev/null || true
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$@" >/dev/null
}

if command -v podman >/dev/null; then
  tool=podman
elif command -v buildah >/dev/null; then
  tool=buildah
else
  install_packages podman runc
  tool=podman
fi

# The host's network for the build's apt-get, with no container network to
# set up. runc where it is installed: crun, podman's first choice, refuses
# some hosts' cgroup layouts. Explicit limits, as podman's own default for
# open files is more than a host may let even root raise its limit to.
options=(--format docker --network host --ulimit nofile=4096:4096 --ulimit nproc=4096:4096)
if command -v runc >/dev/null; then
  options+=(--runtime "$(command -v runc)")
fi

# What differs between the two tools.
image_here() {
  if [ "$tool" = podman ]; then
    podman image exists "$1"
  else
    buildah inspect --type image "$1" >/dev/null 2>&1
  fi
}
# Makes image $1 of the root file system in the tar archive on standard input.
import_image() {
  if [ "$tool" = podman ]; then
    podman import --change 'CMD ["bash"]' - "$1" >/dev/null
  else
    local archive container
    archive=$(mktemp "${TMPDIR:-/tmp}/molv-base.XXXXXX")
    cat >"$archive"
    container=$(buildah from scratch)
    buildah add --quiet "$container" "$archive" / >/dev/null
    buildah config --cmd bash "$container"
    buildah commit --quiet "$container" "$1" >/dev/null
    buildah rm "$container" >/dev/null
    rm -f "$archive"
  fi
}
image_size() {
  if [ "$tool" = podman ]; then
    local bytes
    bytes=$(podman image inspect --format '{{.Size}}' "$1")
    echo "$((bytes / 1000000)) MB"
  else
    buildah images --format '{{.Size}}' "$1"
  fi
}

if image_here "$base"; then
  say "the base $base is here"
elif say "pulling $base" && timeout 120 $tool pull -q "$base" >/dev/null 2>&1; then
  say "pulled $base"
else
  say "no registry to pull $base from: making it from Debian's packages with mmdebstrap"
  command -v mmdebstrap >/dev/null || install_packages mmdebstrap
  # A minimal Debian without documentation, as Debian's slim image is, with
  # the updates and security mirrors that mmdebstrap adds for a stable suite.
  mmdebstrap --quiet --variant=minbase --format=tar \
    --dpkgopt='path-exclude=/usr/share/man/*' --dpkgopt='path-exclude=/usr/share/doc/*' \
    --dpkgopt='path-include=/usr/share/doc/*/copyright' --dpkgopt='path-exclude=/usr/share/locale/*' \
    "$suite" - </dev/null | import_image "$base"
  say "made $base"
fi

say "building $image from dist/Containerfile with $tool"
unnamed() { $tool images -q --no-trunc --filter dangling=true | sort -u; }
unnamed_before=$(unnamed)
# shellcheck disable=SC2086 # MOLV_BUILD_ARGS holds separate words
$tool build "${options[@]}" ${MOLV_BUILD_ARGS:-} -f dist/Containerfile -t "$image" .
# The build stage's image, and an image of the same name built before, are
# left without a name: of no use but their room.
for left in $(comm -13 <(echo "$unnamed_before") <(unnamed)); do
  $tool rmi "$left" >/dev/null 2>&1 || true
done

say "$image: $(image_size "$image"), built in $((SECONDS - started)) s"
