# Tests of the configuration and services half of the component library.
lumora_add_gtest(zarvik_indexconfiguration_test SOURCES indexconfiguration_test.cpp LIBS lumora_zarvik)
lumora_add_gtest(zarvik_datasources_test SOURCES datasources_test.cpp LIBS lumora_zarvik)
lumora_add_gtest(zarvik_eventlog_test SOURCES eventlog_test.cpp LIBS lumora_zarvik)
lumora_add_gtest(zarvik_engine_test SOURCES engine_test.cpp LIBS lumora_zarvik PkgConfig::SQLITE3)
target_compile_definitions(zarvik_indexconfiguration_test PRIVATE
  LUMORA_DEMO_CONFIG="${PROJECT_SOURCE_DIR}/demo/IndexConfiguration.xml")
