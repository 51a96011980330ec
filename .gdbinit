# GDB settings for the firmware images (gdb-multiarch), most of all the debug
# build's (build/firmware-debug: the applications and the middleware at -O0),
# where every std:: call is a function of its own: `step` goes past the
# toolchain's C++ library headers (vectors, iterators, std::min, ...) and the
# newlib headers instead of into them, and stops in the next function of this
# project. `skip delete` brings them back.
#
# GDB reads this file by itself only from a directory it is told to trust:
#   echo "add-auto-load-safe-path $PWD/.gdbinit" >> ~/.config/gdb/gdbinit
# (once, from the repository root); otherwise load it per session with
#   gdb-multiarch -x .gdbinit build/firmware-debug/front_lamp.elf
# or `source .gdbinit` at the prompt. The VS Code debug configurations
# (.vscode/launch.json) source it themselves.
#
# A `*` of a file pattern stops at a `/`: each directory depth is its own line.
skip -gfi /usr/include/newlib/c++/*/*
skip -gfi /usr/include/newlib/c++/*/bits/*
skip -gfi /usr/include/newlib/c++/*/ext/*
skip -gfi /usr/include/newlib/c++/*/debug/*
skip -gfi /usr/include/newlib/c++/*/pstl/*
skip -gfi /usr/include/newlib/c++/*/arm-none-eabi/*/*/*/bits/*
skip -gfi /usr/include/newlib/*
skip -gfi /usr/include/newlib/sys/*
skip -gfi /usr/include/newlib/machine/*
skip -gfi /usr/lib/gcc/arm-none-eabi/*/include/*
