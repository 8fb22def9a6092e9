# The index builder, its document reader, the build log and the propagator.
target_sources(lumora_zarvik PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/documentsource.cpp
  ${CMAKE_CURRENT_LIST_DIR}/durablefile.cpp
  ${CMAKE_CURRENT_LIST_DIR}/indexlog.cpp
)
# The documents of a PostgreSQL database are read through libpq itself, streamed
# row by row, on a thread of their own.
find_package(Threads REQUIRED)
target_link_libraries(lumora_zarvik PRIVATE PkgConfig::LIBPQ Threads::Threads)
# index_info records which program built an index.
target_compile_definitions(lumora_zarvik PRIVATE LUMORA_VERSION="${PROJECT_VERSION}")
