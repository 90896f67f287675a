#!/bin/sh
# The shared library as the dynamic linker sees it.  Usage: exported-surface.sh CHECK LIBRARY
#   symbols       every defined dynamic symbol lies in the wrenfold namespaces; typeinfo and
#                 vtables only for wrenfold types
#   soname        the SONAME carries the ABI version: libwrenfold_zlib.so.1 for libwrenfold_zlib
#   interposable  no DT_SYMBOLIC binding, and zlib's entry points are imported from libz, so a
#                 program can interpose them (the version gate relies on it)
set -eu
check=$1 lib=$2
nm=${NM:-nm} readelf=${READELF:-readelf}

case $check in
symbols)
  names=$("$nm" -DC --defined-only "$lib" | sed 's/^[0-9a-fA-F]* [A-Za-z] //')
  test -n "$names" || { echo "no dynamic symbols in $lib" >&2; exit 1; }
  strays=$(echo "$names" | grep -Ev \
    '^((typeinfo|typeinfo name|vtable|VTT|construction vtable) for )?wrenfold::' || true)
  echo "$(echo "$names" | wc -l) defined dynamic symbols"
  if [ -n "$strays" ]; then
    echo "exported outside the wrenfold namespaces:" >&2
    echo "$strays" >&2
    exit 1
  fi
  ;;
soname)
  soname=$("$readelf" -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\].*/\1/p')
  echo "SONAME: $soname"
  test "$soname" = "$(basename "$lib" | sed 's/\.so.*//').so.1"
  ;;
interposable)
  dynamic=$("$readelf" -d "$lib")
  if echo "$dynamic" | grep -Eq '\(SYMBOLIC\)|\(FLAGS\).*SYMBOLIC'; then
    echo "$lib is linked with -Bsymbolic" >&2
    exit 1
  fi
  echo "$dynamic" | grep -q 'Shared library: \[libz\.so\.1\]'
  undefined=$("$nm" -D --undefined-only "$lib")
  for name in zlibVersion deflateInit2_ inflateInit2_ deflate inflate deflateEnd inflateEnd crc32; do
    echo "$undefined" | grep -Eq " U $name(@.*)?\$" || {
      echo "$name is not imported from zlib" >&2
      exit 1
    }
  done
  echo "no symbolic binding; zlib entry points imported"
  ;;
*)
  echo "unknown check $check" >&2
  exit 2
  ;;
esac
