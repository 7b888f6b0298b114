#!/usr/bin/env bash
# Publishes Nuvlet's Debian packages as a signed APT repository, and makes the key that
# signs it.
#
#   scripts/publish-repo.sh new-key GNUPGHOME KEYRING [--no-passphrase]
#       Creates the project's signing key in GNUPGHOME (a directory kept private: it
#       holds the secret key) and writes its public keyring (binary OpenPGP) to KEYRING.
#       Build the package with -DNUVLET_APT_KEYRING=KEYRING so that it ships this key.
#       Without --no-passphrase gpg asks for a passphrase.
#
#   scripts/publish-repo.sh publish GNUPGHOME REPO [--suite NAME] DEB...
#       Adds the packages to REPO/pool/main and rewrites REPO/dists/NAME (default
#       "stable"): Packages for every architecture in the pool, Release, InRelease and
#       Release.gpg, signed with the key in GNUPGHOME (NUVLET_SIGNING_KEY picks one when
#       there are several; NUVLET_KEY_PASSPHRASE_FILE answers its passphrase), and puts
#       the screenshots software centres show in REPO/screenshots. Copy REPO to the web
#       server as it is; the package's apt source points at its address.
#
# The indexes come from apt-ftparchive and the signatures from gpg; a repository is
# replaced whole, so a failure leaves the previous one in place.
set -euo pipefail

die() {
  echo "publish-repo: $*" >&2
  exit 1
}
usage() {
  sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

new_key() {
  [[ $# -ge 2 ]] || usage
  local home=$1 keyring=$2
  shift 2
  local pass=()
  if [[ ${1:-} == --no-passphrase ]]; then
    pass=(--batch --pinentry-mode loopback --passphrase '')
  elif [[ $# -gt 0 ]]; then
    usage
  fi
  mkdir -p -m 700 "$home"
  if gpg --homedir "$home" --list-secret-keys --with-colons 2>/dev/null | grep -q '^sec'; then
    die "$home already holds a secret key; publish with it, or choose another directory"
  fi
  gpg --homedir "$home" "${pass[@]}" --quiet \
    --quick-generate-key "Nuvlet archive signing key <maintainers@nuvlet.invalid>" \
    ed25519 sign 5y
  gpg --homedir "$home" --export >"$keyring.tmp"
  mv "$keyring.tmp" "$keyring"
  echo "publish-repo: signing key in $home; public keyring in $keyring" >&2
}

publish() {
  [[ $# -ge 3 ]] || usage
  local home=$1 repo=$2 suite=stable
  shift 2
  if [[ $1 == --suite ]]; then
    [[ $# -ge 3 ]] || usage
    suite=$2
    shift 2
  fi
  [[ $suite =~ ^[A-Za-z0-9._-]+$ ]] || die "suite must be a plain name: $suite"
  [[ $# -ge 1 ]] || usage

  local key=${NUVLET_SIGNING_KEY:-}
  if [[ -z $key ]]; then
    key=$(gpg --homedir "$home" --list-secret-keys --with-colons 2>/dev/null |
      awk -F: '/^fpr/ {print $10; exit}')
    [[ -n $key ]] || die "no secret key in $home (scripts/publish-repo.sh new-key makes one)"
  fi
  local sign=(gpg --homedir "$home" --batch --yes --local-user "$key" --digest-algo SHA512)
  if [[ -n ${NUVLET_KEY_PASSPHRASE_FILE:-} ]]; then
    sign+=(--pinentry-mode loopback --passphrase-file "$NUVLET_KEY_PASSPHRASE_FILE")
  fi

  mkdir -p "$repo/pool/main"
  local deb name
  for deb in "$@"; do
    dpkg-deb --field "$deb" Package Version Architecture >/dev/null 2>&1 ||
      die "not a Debian package: $deb"
    name=$(basename "$deb")
    # apt rejects a file whose checksum differs from the index it already knows; a
    # version is published once.
    if [[ -e $repo/pool/main/$name ]] && ! cmp -s "$deb" "$repo/pool/main/$name"; then
      die "$name is already published with other contents; raise the version in packaging/changelog"
    fi
  done
  for deb in "$@"; do cp "$deb" "$repo/pool/main/"; done

  local staging="$repo/.dists-$suite.new"
  rm -rf "$staging"
  mkdir -p "$staging"
  local arches
  arches=$(for deb in "$repo"/pool/main/*.deb; do dpkg-deb --field "$deb" Architecture; done |
    grep -v '^all$' | sort -u | tr '\n' ' ')
  [[ -n $arches ]] || arches="all"
  local arch
  for arch in $arches; do
    mkdir -p "$staging/main/binary-$arch"
    (cd "$repo" && apt-ftparchive --arch "$arch" packages pool/main) \
      >"$staging/main/binary-$arch/Packages"
    gzip -9nk "$staging/main/binary-$arch/Packages"
  done
  apt-ftparchive \
    -o APT::FTPArchive::Release::Origin=Nuvlet \
    -o APT::FTPArchive::Release::Label=Nuvlet \
    -o APT::FTPArchive::Release::Suite="$suite" \
    -o APT::FTPArchive::Release::Codename="$suite" \
    -o APT::FTPArchive::Release::Architectures="${arches% }" \
    -o APT::FTPArchive::Release::Components=main \
    -o APT::FTPArchive::Release::Description="Nuvlet packages" \
    release "$staging" >"$staging.Release"
  mv "$staging.Release" "$staging/Release"
  "${sign[@]}" --clearsign --output "$staging/InRelease" "$staging/Release"
  "${sign[@]}" --armor --detach-sign --output "$staging/Release.gpg" "$staging/Release"
  gpg --homedir "$home" --export "$key" >"$repo/nuvlet-archive-keyring.gpg"
  # The package's AppStream metadata shows these, from the repository's address.
  mkdir -p "$repo/screenshots"
  cp "$(dirname "$0")"/../docs/tray-light.png "$(dirname "$0")"/../docs/tray-dark.png "$repo/screenshots/"

  mkdir -p "$repo/dists"
  rm -rf "$repo/dists/.$suite.old"
  if [[ -e $repo/dists/$suite ]]; then mv "$repo/dists/$suite" "$repo/dists/.$suite.old"; fi
  mv "$staging" "$repo/dists/$suite"
  rm -rf "$repo/dists/.$suite.old"
  echo "publish-repo: $repo/dists/$suite ($arches) signed by $key" >&2
}

case ${1:-} in
  new-key) shift && new_key "$@" ;;
  publish) shift && publish "$@" ;;
  *) usage ;;
esac
