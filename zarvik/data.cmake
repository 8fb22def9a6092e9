# Database access: connection texts, the SQL Server dialect rewrite, Qt SQL recordsets.
target_sources(lumora_zarvik PRIVATE
  connectiontext.cpp
  connectiontext.h
  tsql.cpp
  tsql.h
  qtsqlrecordset.cpp
  sqlitehandle.cpp
  sqlitehandle.h
  pgpipeline.cpp
  database_p.h
)
