# Writes OUTPUT, a C++ source that holds the migrations of MIGRATION_DIR
# (sqlite/NNNN_name.sql and postgres/NNNN_name.sql) as byte arrays and
# defines migrationsFor over them. Stops the build when a file is misnamed,
# the numbers are not 1, 2, 3, ... or the two dialects differ in numbers or
# names: each migration exists once per dialect.
# Usage: cmake -DMIGRATION_DIR=<dir> -DOUTPUT=<file> -P embed_migrations.cmake
set(arrays "")
set(tables "")
set(expected_names "")
foreach(dialect IN ITEMS sqlite postgres)
  file(GLOB files RELATIVE "${MIGRATION_DIR}/${dialect}" "${MIGRATION_DIR}/${dialect}/*")
  list(SORT files)
  set(names "")
  set(number 1)
  string(APPEND tables "const EmbeddedMigration ${dialect}Migrations[] = {\n")
  foreach(file IN LISTS files)
    if(NOT file MATCHES "^([0-9][0-9][0-9][0-9])_([a-z0-9_]+)\\.sql$")
      message(FATAL_ERROR "migration ${dialect}/${file}: name it NNNN_name.sql (four digits, lower-case words)")
    endif()
    set(digits "${CMAKE_MATCH_1}")
    set(name "${CMAKE_MATCH_2}")
    math(EXPR version "${digits}")
    if(NOT version EQUAL number)
      message(FATAL_ERROR "migration ${dialect}/${file}: expected number ${number} (migrations are numbered 1, 2, 3, ... without gaps)")
    endif()
    list(APPEND names "${digits}_${name}")
    file(READ "${MIGRATION_DIR}/${dialect}/${file}" hex HEX)
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
    string(APPEND arrays "const unsigned char ${dialect}${version}[] = {\n${bytes}};\n")
    string(APPEND tables "    {${version}, \"${name}\", ${dialect}${version}, sizeof ${dialect}${version}},\n")
    math(EXPR number "${number} + 1")
  endforeach()
  string(APPEND tables "};\n")
  if(dialect STREQUAL "sqlite")
    set(expected_names "${names}")
  elseif(NOT names STREQUAL expected_names)
    message(FATAL_ERROR "the postgres migrations (${names}) are not the sqlite ones (${expected_names}): "
                        "write each migration for both, under the same number and name")
  endif()
endforeach()
if(expected_names STREQUAL "")
  message(FATAL_ERROR "no migrations in ${MIGRATION_DIR}/sqlite")
endif()

file(WRITE "${OUTPUT}.tmp" "// Generated from reception/store/migrations by embed_migrations.cmake; do not edit.
#include \"store/migrations.h\"

namespace {

struct EmbeddedMigration {
  std::int64_t version;
  const char* name;
  const unsigned char* bytes;
  std::size_t size;
};

${arrays}
${tables}
template <std::size_t count>
std::vector<Migration> listed(const EmbeddedMigration (&embedded)[count]) {
  std::vector<Migration> migrations;
  for (const EmbeddedMigration& migration : embedded) {
    migrations.push_back({migration.version, migration.name,
                          std::string_view(reinterpret_cast<const char*>(migration.bytes), migration.size)});
  }
  return migrations;
}

}  // namespace

const std::vector<Migration>& migrationsFor(SqlDialect dialect) {
  static const std::vector<Migration> sqlite = listed(sqliteMigrations);
  static const std::vector<Migration> postgres = listed(postgresMigrations);
  return dialect == SqlDialect::postgres ? postgres : sqlite;
}
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
