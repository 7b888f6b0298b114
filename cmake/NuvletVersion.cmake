# The release version lives in one place: the top entry of packaging/changelog, which
# every release adds anyway. The program, the package and the manual pages take it here.
set(nuvlet_changelog "${CMAKE_CURRENT_LIST_DIR}/../packaging/changelog")
file(STRINGS "${nuvlet_changelog}" nuvlet_changelog_top LIMIT_COUNT 1)
if(NOT nuvlet_changelog_top MATCHES "^nuvlet \\(([0-9]+\\.[0-9]+\\.[0-9]+)\\) ")
  message(FATAL_ERROR "packaging/changelog must start with \"nuvlet (X.Y.Z) ...\", "
                      "not \"${nuvlet_changelog_top}\"")
endif()
set(NUVLET_RELEASE_VERSION "${CMAKE_MATCH_1}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${nuvlet_changelog}")
