# Tests of the configuration and services half of the component library.
lumora_add_gtest(zarvik_datasources_test SOURCES datasources_test.cpp LIBS lumora_zarvik)
lumora_add_gtest(zarvik_eventlog_test SOURCES eventlog_test.cpp LIBS lumora_zarvik)
lumora_add_gtest(zarvik_engine_test SOURCES engine_test.cpp LIBS lumora_zarvik PkgConfig::SQLITE3)
