#!/usr/bin/env bash
# Builds the TLS 1.3 and AES-SIV library Tavrel.exe's NTS uses: wolfSSL,
# from Debian bookworm's own source package at one pinned version, with
# Debian's patches applied, cross-built with MinGW-w64 as a static library
# into BUILD_DIR/wolfssl-VERSION (once: a later run with the same version
# and options returns at once). Prints that folder; says what it does on
# standard error.
#
# The source package is fetched from Debian's mirrors with apt's own
# downloader (the machine's apt configuration is read, never changed). The
# .dsc is pinned by its SHA-256 below, and every file it names is checked
# against the SHA-256 it gives before dpkg-source unpacks it.
# Usage: build-wolfssl-windows.sh BUILD_DIR
set -euo pipefail
build=$(mkdir -p "$1" && cd "$1" && pwd)

version=5.5.4-2+deb12u3
upstream=5.5.4
dsc=wolfssl_${version}.dsc
dsc_sha256=41cc3bce69a14214cc16f03f87e1292d8a2f95c03bbf94f49ca36b010989a81a
# A security update lives in the security archive's pool until a point
# release copies it into the main archive's.
pools=(http://deb.debian.org/debian-security/pool/updates/main/w/wolfssl
       http://deb.debian.org/debian/pool/main/w/wolfssl)
host=x86_64-w64-mingw32

# What NTS needs and no more: a TLS 1.3 client with ALPN, SNI and the
# exporter, AES-SIV, and the certificate checks; no programs. The verify
# callback is called for every certificate, good or bad, so that Tavrel's
# one verify step sees them all.
options=(--host=$host --enable-static --disable-shared
         --enable-tls13 --disable-oldtls --enable-alpn --enable-sni --enable-supportedcurves
         --enable-keying-material --enable-aessiv --enable-harden
         --disable-examples --disable-crypttests --disable-benchmark --disable-jobserver
         --disable-crl-monitor --disable-sys-ca-certs)
cflags="-O2 -DWOLFSSL_ALWAYS_VERIFY_CB"

prefix=$build/wolfssl-$version
stamp="$version ${options[*]} $cflags"
if [ -f "$prefix/.built" ] && [ "$(cat "$prefix/.built")" = "$stamp" ]; then
    echo "$prefix"
    exit 0
fi
# Everything below talks on standard error; standard output names the folder.
exec 3>&1 1>&2

work=$build/wolfssl-source
rm -rf "$work" "$prefix"
mkdir -p "$work/download"
cd "$work/download"

# Fetches one file of the source package from the first pool that has it.
fetch() {
    local name=$1 pool
    for pool in "${pools[@]}"; do
        # apt's downloader honours the machine's proxy settings; as root it
        # warns that it cannot hand the file to the _apt user, and fetches.
        if /usr/lib/apt/apt-helper download-file "$pool/$name" "$PWD/$name" >/dev/null 2>"$name.err"; then
            rm -f "$name.err"
            return 0
        fi
    done
    echo "Cannot fetch $name from Debian's mirrors:" >&2
    cat "$name.err" >&2
    return 1
}

echo "Fetching wolfSSL $version from Debian"
fetch "$dsc"
echo "$dsc_sha256  $dsc" | sha256sum --check --quiet || { echo "$dsc is not the pinned one" >&2; exit 1; }
# The files the .dsc names, each with the SHA-256 it gives.
checksums=$(awk '/^Checksums-Sha256:/ {on = 1; next} /^[^ ]/ {on = 0} on && NF == 3 {print $1 "  " $3}' "$dsc")
[ -n "$checksums" ] || { echo "$dsc names no files" >&2; exit 1; }
while read -r _ name; do
    fetch "$name"
done <<<"$checksums"
sha256sum --check --quiet <<<"$checksums" || { echo "a file of $dsc does not match its checksum" >&2; exit 1; }

# Unpacks and applies Debian's patches; the signature is not checked, since
# the .dsc is pinned by its hash above.
dpkg-source --no-check -x "$dsc" "$work/wolfssl-$upstream" >/dev/null
cd "$work/wolfssl-$upstream"
echo "Configuring wolfSSL for $host"
./autogen.sh >"$work/autogen.log" 2>&1 || { cat "$work/autogen.log" >&2; exit 1; }
./configure --prefix="$prefix" "${options[@]}" CC=$host-gcc-posix CFLAGS="$cflags" >"$work/configure.log" 2>&1 ||
    { tail -50 "$work/configure.log" >&2; exit 1; }
echo "Building wolfSSL"
make -j"$(nproc)" >"$work/make.log" 2>&1 || { tail -50 "$work/make.log" >&2; exit 1; }
make install >>"$work/make.log" 2>&1 || { tail -50 "$work/make.log" >&2; exit 1; }
# Its licence travels with the program built with it.
cp COPYING "$prefix/COPYING"
echo "$stamp" > "$prefix/.built"
rm -rf "$work"
echo "Built wolfSSL $version into $prefix"
echo "$prefix" >&3
