# The DOCUMENT table of the demo database: a few thousand dictionary entries of
# real English (dict-gcide), written into ${LUMORA_DEMO_DIR}/demo/app.db at build
# time. Only DOCUMENT is dropped and made anew; the catalog tables stay.
add_executable(lumora_make_documents ${CMAKE_CURRENT_LIST_DIR}/make_documents.cpp)
target_link_libraries(lumora_make_documents PRIVATE PkgConfig::SQLITE3)
target_include_directories(lumora_make_documents PRIVATE ${PROJECT_SOURCE_DIR})
lumora_target_defaults(lumora_make_documents WITHOUT_QT)

# scripts/setup.sh unpacks the dictionary into .deps/ without installing a
# dictionary server; an installed dict-gcide serves as well.
set(_gcide ${PROJECT_SOURCE_DIR}/.deps/gcide/usr/share/dictd)
if(NOT EXISTS ${_gcide}/gcide.index)
  set(_gcide /usr/share/dictd)
endif()
set(LUMORA_GCIDE_INDEX ${_gcide}/gcide.index CACHE FILEPATH "dictd index of the GCIDE dictionary")
set(LUMORA_GCIDE_DICT ${_gcide}/gcide.dict.dz CACHE FILEPATH "dictd text of the GCIDE dictionary")

# Runs on every build: the tool leaves a complete table alone, and a demo database
# that was deleted gets its documents back.
add_custom_target(lumora_demo_documents ALL
  COMMAND ${CMAKE_COMMAND} -E make_directory ${LUMORA_DEMO_DIR}/demo
  COMMAND lumora_make_documents ${LUMORA_DEMO_DIR}/demo/app.db ${LUMORA_GCIDE_INDEX} ${LUMORA_GCIDE_DICT}
  COMMENT "Demo documents in ${LUMORA_DEMO_DIR}/demo/app.db"
  VERBATIM)
add_dependencies(lumora_demo_documents lumora_make_documents)
