# Who may include the library's private headers, checked when the build is
# configured and again whenever one of the checked files changes:
#
# - velorium/raw/ (the decoders of the acquisition's files) only from raw/
#   itself and from the library's files that decode through it, listed in
#   VELORIUM_DECODING_FILES;
# - velorium/internal/ (the decoding paths that the library's own
#   subsystems share) only from the velorium library's sources and from
#   internal/ itself: never from a public header;
# - the Python module (python/) and the command (cli/) use the public
#   headers only, which the two rules above already imply.
#
# Tests, benchmarks and fuzz targets reach into both on purpose and are not
# checked.
set(VELORIUM_DECODING_FILES
  velorium/src/velorium/decoding.cpp  # the blocks of a spectrum
  velorium/src/velorium/reader.cpp    # opening: the scan index, calibrations and metadata
)

# The includes of the library's, the module's and the command's files below
# `root` that break the rules, one "file: line" each, into `out`;
# `library_sources` are the velorium library's sources relative to `root`.
function(velorium_private_include_violations out root library_sources)
  file(GLOB_RECURSE checked RELATIVE ${root}
    ${root}/velorium/src/*.hpp ${root}/velorium/src/*.cpp ${root}/velorium/src/*.in
    ${root}/python/*.hpp ${root}/python/*.cpp
    ${root}/cli/*.hpp ${root}/cli/*.cpp)
  list(SORT checked)
  set(violations)
  foreach(file IN LISTS checked)
    file(STRINGS ${root}/${file} lines REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]velorium/(raw|internal)/")
    foreach(line IN LISTS lines)
      string(REGEX MATCH "velorium/(raw|internal)/" unused "${line}")
      if(CMAKE_MATCH_1 STREQUAL "raw")
        if(file MATCHES "^velorium/src/velorium/raw/" OR file IN_LIST VELORIUM_DECODING_FILES)
          continue()
        endif()
      elseif(file MATCHES "^velorium/src/velorium/internal/" OR file IN_LIST library_sources)
        continue()
      endif()
      string(STRIP "${line}" line)
      list(APPEND violations "${file}: ${line}")
    endforeach()
  endforeach()
  set(${out} "${violations}" PARENT_SCOPE)
endfunction()

# Fails the configuration on any violation in this project; a later edit of
# a checked file configures again.
function(velorium_check_private_includes)
  set(root ${PROJECT_SOURCE_DIR})
  file(GLOB_RECURSE checked CONFIGURE_DEPENDS
    ${root}/velorium/src/*.hpp ${root}/velorium/src/*.cpp ${root}/velorium/src/*.in
    ${root}/python/*.hpp ${root}/python/*.cpp
    ${root}/cli/*.hpp ${root}/cli/*.cpp)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${checked})
  get_target_property(library_sources velorium SOURCES)
  list(TRANSFORM library_sources PREPEND "velorium/")
  velorium_private_include_violations(violations ${root} "${library_sources}")
  if(violations)
    list(JOIN violations "\n  " violations)
    message(FATAL_ERROR "private headers of the library included where they may not be "
      "(cmake/include_rules.cmake says who may):\n  ${violations}")
  endif()
endfunction()
