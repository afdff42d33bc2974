# Run by CPack on the staged install tree before it writes the .deb: turns
# the generic install layout into the one Debian expects. Every file written
# here gets a fixed mode and gzip -n (no name, no time in the header), so the
# package's bytes depend only on the sources and SOURCE_DATE_EPOCH.
set(root ${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX})
set(doc ${root}/${CPACK_TARN_DOCDIR})
set(man1 ${root}/${CPACK_TARN_MANDIR}/man1)
if(NOT EXISTS ${doc}/LICENSE)
    message(FATAL_ERROR "deb layout: ${doc}/LICENSE is not in the staged tree")
endif()

function(tarn_gzip file)
    file(CHMOD ${file} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    execute_process(COMMAND gzip -9nf ${file} RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "deb layout: gzip ${file} failed")
    endif()
endfunction()

# The licence as a machine-readable copyright file (MIT is "Expat" there):
# the permission text after the title and notice, indented one space, blank
# lines as " .".
file(READ ${doc}/LICENSE licence)
string(FIND "${licence}" "Permission is hereby granted" start)
if(start LESS 0)
    message(FATAL_ERROR "deb layout: LICENSE is not the MIT licence text")
endif()
string(SUBSTRING "${licence}" ${start} -1 licence)
string(STRIP "${licence}" licence)
string(REPLACE "\n\n" "\n.\n" licence "${licence}")
string(REPLACE "\n" "\n " licence "${licence}")
file(WRITE ${doc}/copyright
    "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${CPACK_PACKAGE_NAME}
Upstream-Contact: ${CPACK_PACKAGE_CONTACT}

Files: *
Copyright: 2026 The tarnload authors
License: Expat
 ${licence}
")
file(REMOVE ${doc}/LICENSE)
file(CHMOD ${doc}/copyright PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# A native package's changelog: the release itself, dated by the commit.
file(WRITE ${doc}/changelog
    "${CPACK_PACKAGE_NAME} (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium

  * Release ${CPACK_PACKAGE_VERSION}.

 -- ${CPACK_PACKAGE_CONTACT}  ${CPACK_TARN_CHANGELOG_DATE}
")
tarn_gzip(${doc}/changelog)

file(GLOB pages ${man1}/*.1)
if(NOT pages)
    message(FATAL_ERROR "deb layout: no manual page in ${man1}")
endif()
foreach(page IN LISTS pages)
    tarn_gzip(${page})
endforeach()
