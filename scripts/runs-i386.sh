#!/usr/bin/env bash
# Exit 0 when this kernel runs a 32-bit i386 program. Decided by running one: four instructions
# assembled and linked with binutils (there before any 32-bit package), calling exit(0).
set -u
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
printf '.globl _start\n_start:\n  movl $1, %%eax\n  xorl %%ebx, %%ebx\n  int $0x80\n' > "$dir/exit.s"
as --32 -o "$dir/exit.o" "$dir/exit.s" 2>/dev/null && ld -m elf_i386 -o "$dir/exit" "$dir/exit.o" 2>/dev/null &&
  "$dir/exit" 2>/dev/null
