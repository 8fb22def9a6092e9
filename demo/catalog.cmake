# The catalog tables of the demo database demo/app.db beside the binary. Only the
# catalog tables are recreated, so the document tables of the same file stay.
find_program(LUMORA_SQLITE3 sqlite3 REQUIRED)
set(LUMORA_DEMO_CATALOG_STAMP ${LUMORA_DEMO_DIR}/demo/catalog.stamp)
add_custom_command(
  OUTPUT ${LUMORA_DEMO_CATALOG_STAMP}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${LUMORA_DEMO_DIR}/demo
  # The document step may write the same file at the same time: wait for its lock.
  COMMAND ${LUMORA_SQLITE3} -bail -cmd ".timeout 30000" ${LUMORA_DEMO_DIR}/demo/app.db
          ".read ${CMAKE_CURRENT_SOURCE_DIR}/catalog.sql"
  COMMAND ${CMAKE_COMMAND} -E touch ${LUMORA_DEMO_CATALOG_STAMP}
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/catalog.sql
  COMMENT "Demo database: catalog tables"
  VERBATIM)
add_custom_target(lumora_demo_catalog ALL DEPENDS ${LUMORA_DEMO_CATALOG_STAMP})
