# Tests of the database access of the component library.
lumora_add_gtest(zarvik_tsql_test SOURCES tsql_test.cpp LIBS lumora_zarvik)
lumora_add_gtest(zarvik_connectiontext_test SOURCES connectiontext_test.cpp LIBS lumora_zarvik)
lumora_add_gtest(zarvik_database_test SOURCES database_test.cpp LIBS lumora_zarvik lumora_testsupport)
lumora_add_gtest(zarvik_connectionpool_test SOURCES connectionpool_test.cpp LIBS lumora_zarvik lumora_testsupport)
lumora_add_gtest(zarvik_pgpipeline_test SOURCES pgpipeline_test.cpp LIBS lumora_zarvik)
