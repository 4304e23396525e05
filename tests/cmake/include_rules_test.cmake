# The include rules of cmake/include_rules.cmake on a small tree: every
# allowed include passes, every forbidden one is reported, nothing else.
#
#   cmake -DWORK=<scratch folder> -P tests/cmake/include_rules_test.cmake
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/include_rules.cmake)

set(root ${WORK}/include_rules)
file(REMOVE_RECURSE ${root})
set(lib velorium/src/velorium)
# file, then what it includes
set(tree
  "${lib}/raw/msscan.cpp|velorium/raw/bytes.hpp"
  "${lib}/raw/msscan.hpp|velorium/raw/bytes.hpp"
  "${lib}/decoding.cpp|velorium/raw/mspeak.hpp"
  "${lib}/reader.cpp|velorium/internal/decoding.hpp"
  "${lib}/internal/decoding.hpp|velorium/internal/other.hpp"
  "${lib}/store/peak_store.cpp|velorium/internal/decoding.hpp"
  "${lib}/store/peak_store.cpp|velorium/raw/fileio.hpp"
  "${lib}/store/peak_store.hpp|velorium/internal/decoding.hpp"
  "${lib}/error.cpp|velorium/raw/debug_text.hpp"
  "${lib}/mzml/writer.cpp|velorium/internal/decoding.hpp"
  "python/xic.cpp|velorium/raw/fileio.hpp"
  "python/module.hpp|velorium/reader.hpp"
  "cli/main.cpp|velorium/internal/decoding.hpp"
)
foreach(entry IN LISTS tree)
  string(REPLACE "|" ";" entry "${entry}")
  list(GET entry 0 file)
  list(GET entry 1 header)
  file(APPEND ${root}/${file} "// a line\n  #  include \"${header}\"\n")
endforeach()
# A mention that is not an include directive is no include.
file(APPEND ${root}/python/module.hpp "// #include \"velorium/raw/msscan.hpp\" is what the module never does\n")

# The library's sources, as the velorium target lists them.
set(library_sources ${lib}/reader.cpp ${lib}/decoding.cpp ${lib}/store/peak_store.cpp ${lib}/error.cpp)
velorium_private_include_violations(got ${root} "${library_sources}")
set(want
  "cli/main.cpp: #  include \"velorium/internal/decoding.hpp\""
  "python/xic.cpp: #  include \"velorium/raw/fileio.hpp\""
  "${lib}/error.cpp: #  include \"velorium/raw/debug_text.hpp\""
  "${lib}/mzml/writer.cpp: #  include \"velorium/internal/decoding.hpp\""
  "${lib}/store/peak_store.cpp: #  include \"velorium/raw/fileio.hpp\""
  "${lib}/store/peak_store.hpp: #  include \"velorium/internal/decoding.hpp\""
)
if(NOT got STREQUAL want)
  list(JOIN got "\n  " got)
  list(JOIN want "\n  " want)
  message(FATAL_ERROR "include rules: got\n  ${got}\nwanted\n  ${want}")
endif()
file(REMOVE_RECURSE ${root})
