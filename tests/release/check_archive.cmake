# Makes the release archive with cpack, unpacks it and checks it. Run by the
# test release.archive, which passes: CPACK, CONFIG (CPackConfig.cmake), WORK
# (a scratch folder), ARCHIVE (the archive's name without .tar.gz), ELF_CLASS
# (1: 32-bit, 2: 64-bit), ELF_ORDER (1: little-endian, 2: big-endian),
# WITH_ZEL (1 when the archive holds zel), NM and EXPORTS_CHECK (the entry
# point check), TOUR, ZEL and EMULATOR (to run the tour), SOURCE and BUILD
# (the source and build folders, which no installed file may name, unless
# INSTRUMENTED is true).
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed: ${ARGN}\n${out}")
  endif()
endfunction()

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/unpacked)
run(${CPACK} --config ${CONFIG} -B ${WORK})
run(${CMAKE_COMMAND} -E chdir ${WORK}/unpacked ${CMAKE_COMMAND} -E tar xzf ${WORK}/${ARCHIVE}.tar.gz)
set(root ${WORK}/unpacked/${ARCHIVE})

foreach(file lib/objkit.so share/objkit/objkit.zel share/doc/objkit/README.md share/doc/objkit/CHANGELOG.md
             share/doc/objkit/LICENSE
             share/doc/objkit/docs/reference.md share/doc/objkit/examples/tour.zel)
  if(NOT EXISTS ${root}/${file})
    message(FATAL_ERROR "${ARCHIVE}.tar.gz lacks ${file}")
  endif()
endforeach()
if(WITH_ZEL AND NOT EXISTS ${root}/bin/zel)
  message(FATAL_ERROR "${ARCHIVE}.tar.gz lacks bin/zel")
elseif(NOT WITH_ZEL AND EXISTS ${root}/bin)
  message(FATAL_ERROR "${ARCHIVE}.tar.gz holds programs, but this target gets the library only")
endif()

# The ELF identification: magic, then the class byte and the byte order byte.
file(READ ${root}/lib/objkit.so ident LIMIT 6 HEX)
if(NOT ident STREQUAL "7f454c460${ELF_CLASS}0${ELF_ORDER}")
  message(FATAL_ERROR "objkit.so has the ELF identification ${ident}, expected class ${ELF_CLASS}, byte order ${ELF_ORDER}")
endif()

set(LIBRARY ${root}/lib/objkit.so)
include(${EXPORTS_CHECK})

# The tour against the unpacked library and module source. The archive's own
# zel finds them itself, run from the tour's folder after the unpacked tree
# has moved, with neither --lib, --path nor WQ_ZEL. A target without zel
# runs the build's zel, named the library and WQ_ZEL as on the target machine.
if(WITH_ZEL)
  file(MAKE_DIRECTORY ${WORK}/moved)
  file(RENAME ${root} ${WORK}/moved/${ARCHIVE})
  set(root ${WORK}/moved/${ARCHIVE})
  run(${CMAKE_COMMAND} -E env --unset=WQ_ZEL ${root}/bin/zel --test ${TOUR})
else()
  set(exec "")
  if(EMULATOR)
    list(JOIN EMULATOR " " command)
    set(exec --exec ${command})
  endif()
  run(${CMAKE_COMMAND} -E env WQ_ZEL=${root}/share/objkit
      ${EMULATOR} ${ZEL} --test --lib ${root}/lib/objkit.so ${exec} ${TOUR})
endif()

# No path of the build machine in what is installed: `cmake --install` (the
# archive's files before cpack strips them) into a scratch prefix, then the
# printable strings of the library and zel. A sanitizer or coverage build is
# no release: its reports and counts name the source files as they were
# compiled.
if(INSTRUMENTED)
  return()
endif()
run(${CMAKE_COMMAND} --install ${BUILD} --prefix ${WORK}/installed)
file(GLOB_RECURSE programs ${WORK}/installed/lib/* ${WORK}/installed/bin/*)
foreach(program ${programs})
  file(STRINGS ${program} found)
  foreach(text IN LISTS found)
    foreach(path ${SOURCE} ${BUILD})
      string(FIND "${text}" "${path}" at)
      if(NOT at EQUAL -1)
        message(FATAL_ERROR "${program} holds the path ${path}: ${text}")
      endif()
    endforeach()
  endforeach()
endforeach()
