#!/bin/sh
# The C++ compiler of the fuzzing build: clang++ without UBSan's function and
# vptr checks, whose handlers live in a C++ part of the sanitizer runtime that
# the fuzzer's runtime leaves out (the plain sanitizer build keeps vptr).
# The flag comes last so that it wins over the build's -fsanitize=undefined.
exec clang++ "$@" -fno-sanitize=function,vptr
