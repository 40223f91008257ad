# Run by `cmake --install`: writes "quillon.desktop" with the installed program's path, which
# is known only now (the prefix may be given to the install step), so the application menu,
# the autostart helper and the desktop find the same program.
set(prefix "${CMAKE_INSTALL_PREFIX}")
set(program "${prefix}/bin/Quillon")
# Exec quoting: a backslash before " ` $ \ inside double quotes; the entry's string escape
# then doubles every backslash.
string(REGEX REPLACE "([\"`$\\\\])" "\\\\\\1" quoted "${program}")
string(REPLACE "\\" "\\\\" quoted "${quoted}")
set(QUILLON_EXEC "\"${quoted}\"")
set(target "$ENV{DESTDIR}${prefix}/share/applications/quillon.desktop")
configure_file("${QUILLON_DESKTOP_TEMPLATE}" "${target}" @ONLY)
message(STATUS "Installing: ${target}")
