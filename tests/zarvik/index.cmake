# Tests of the index builder and the propagator, on real SQLite files and PostgreSQL.
lumora_add_gtest(zarvik_indexbuilder_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/indexbuilder_test.cpp
  LIBS lumora_zarvik lumora_testsupport PkgConfig::SQLITE3
  TIMEOUT 300)
lumora_add_gtest(zarvik_propagator_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/propagator_test.cpp
  LIBS lumora_zarvik PkgConfig::SQLITE3)
lumora_add_gtest(zarvik_search_test SOURCES search_test.cpp LIBS lumora_zarvik lumora_testindex)
