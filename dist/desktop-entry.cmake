# Installs the desktop entry. Under /usr the menu finds kvor on PATH; under any other prefix
# the entry names it by its installed path, as that prefix's bin need not be on PATH.
# Given: kvor_entry (the entry as written), kvor_bindir and kvor_datadir (relative to the
# prefix, or absolute), kvor_staging (a folder of the build to write the installed form in).
file(READ "${kvor_entry}" entry)
if(IS_ABSOLUTE "${kvor_bindir}")
  cmake_path(SET exec NORMALIZE "${kvor_bindir}/kvor")
else()
  cmake_path(SET exec NORMALIZE "${CMAKE_INSTALL_PREFIX}/${kvor_bindir}/kvor")
endif()
if(NOT exec STREQUAL "/usr/bin/kvor")
  # A path with a character the Exec key reserves is quoted, with " ` $ \ escaped inside;
  # then backslashes are escaped once more, as in every string of the file, and % doubled.
  if(exec MATCHES "[ \t\n\"'\\\\<>~|&;$*?#()`]")
    string(REGEX REPLACE "([\"`$\\\\])" "\\\\\\1" exec "${exec}")
    set(exec "\"${exec}\"")
  endif()
  string(REPLACE "\\" "\\\\" exec "${exec}")
  string(REPLACE "%" "%%" exec "${exec}")
  string(REPLACE "\nExec=kvor\n" "\nExec=${exec}\n" entry "${entry}")
endif()
# One staging folder per destination: an install and a package may be made at once.
string(MD5 destination "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
get_filename_component(name "${kvor_entry}" NAME)
file(WRITE "${kvor_staging}/${destination}/${name}" "${entry}")
if(NOT IS_ABSOLUTE "${kvor_datadir}")
  set(kvor_datadir "${CMAKE_INSTALL_PREFIX}/${kvor_datadir}")
endif()
file(INSTALL DESTINATION "${kvor_datadir}/applications" TYPE FILE
     FILES "${kvor_staging}/${destination}/${name}")
