# Run by CPack on the staged tree before it makes the Debian package: what
# the package holds beyond "cmake --install".
set(_root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
set(_src "${CPACK_TINDREL_SOURCE_DIR}")
if(NOT IS_DIRECTORY "${_root}/usr/sbin")
  message(FATAL_ERROR "debian-tree: no staged tree at ${_root}")
endif()

# The samples stay in /usr/share/tindrel; postinst copies them into the
# working directory, which then belongs to the administrator, not to dpkg.
file(REMOVE_RECURSE "${_root}/var")

# The changelog must name the version being packaged.
file(STRINGS "${_src}/packaging/changelog" _first LIMIT_COUNT 1)
set(_version "${CPACK_PACKAGE_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")
if(NOT _first MATCHES "^tindrel \\(${_version}\\) ")
  message(FATAL_ERROR "debian-tree: packaging/changelog begins with \"${_first}\", "
                      "not with version ${_version}")
endif()

find_program(_gzip gzip REQUIRED)
# -n: no name or time stamp in the header, so the same input gives the same bytes.
function(_gzip_into from to)
  execute_process(COMMAND "${_gzip}" -9nc "${from}" OUTPUT_FILE "${to}" RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "debian-tree: gzip ${from} failed")
  endif()
  file(CHMOD "${to}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endfunction()

file(GLOB _pages "${_root}/usr/share/man/man*/*")
foreach(_page ${_pages})
  if(NOT _page MATCHES "\\.gz$")
    _gzip_into("${_page}" "${_page}.gz")
    file(REMOVE "${_page}")
  endif()
endforeach()

set(_doc "${_root}/usr/share/doc/tindrel")
file(MAKE_DIRECTORY "${_doc}")
# Debian compresses documentation larger than 4 kB.
_gzip_into("${_doc}/README.md" "${_doc}/README.md.gz")
file(REMOVE "${_doc}/README.md")
file(COPY_FILE "${_src}/packaging/copyright" "${_doc}/copyright")
file(CHMOD "${_doc}/copyright" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
_gzip_into("${_src}/packaging/changelog" "${_doc}/changelog.Debian.gz")
