# The DOCUMENT table of the demo database: a few thousand dictionary entries of
# real English (dict-gcide), written into ${LUMORA_DEMO_DIR}/demo/app.db at build
# time. Only DOCUMENT is dropped and made anew; the catalog tables stay.
add_executable(lumora_make_documents ${CMAKE_CURRENT_LIST_DIR}/make_documents.cpp)
target_link_libraries(lumora_make_documents PRIVATE PkgConfig::SQLITE3)
lumora_target_defaults(lumora_make_documents)

set(LUMORA_GCIDE_INDEX /usr/share/dictd/gcide.index CACHE FILEPATH "dictd index of the GCIDE dictionary")
set(LUMORA_GCIDE_DICT /usr/share/dictd/gcide.dict.dz CACHE FILEPATH "dictd text of the GCIDE dictionary")

# Runs on every build: the tool leaves a complete table alone, and a demo database
# that was deleted gets its documents back.
add_custom_target(lumora_demo_documents ALL
  COMMAND ${CMAKE_COMMAND} -E make_directory ${LUMORA_DEMO_DIR}/demo
  COMMAND lumora_make_documents ${LUMORA_DEMO_DIR}/demo/app.db ${LUMORA_GCIDE_INDEX} ${LUMORA_GCIDE_DICT}
  COMMENT "Demo documents in ${LUMORA_DEMO_DIR}/demo/app.db"
  VERBATIM)
add_dependencies(lumora_demo_documents lumora_make_documents)
# scripts/demo.sh builds only the program; the demo needs its documents with it.
if(TARGET TessalyIndexManager)
  add_dependencies(TessalyIndexManager lumora_demo_documents)
endif()
