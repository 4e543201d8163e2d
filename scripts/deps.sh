#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, if it is missing.
# Idempotent: does nothing when everything is there.
set -euo pipefail

need=()
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v make >/dev/null 2>&1 || need+=(make)
command -v pkg-config >/dev/null 2>&1 || need+=(pkg-config)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/gmock/gmock.h ] || need+=(libgmock-dev)
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
if [ "${ZEL_NEED_CLANG:-0}" = 1 ]; then
  command -v clang++ >/dev/null 2>&1 || need+=(clang)
fi
if [ "${ZEL_NEED_FUZZER:-0}" = 1 ]; then
  command -v clang++ >/dev/null 2>&1 || need+=(clang)
  ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || need+=(libclang-rt-14-dev)
fi

if [ ${#need[@]} -gt 0 ]; then
  echo "Installing: ${need[*]}" >&2
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi
