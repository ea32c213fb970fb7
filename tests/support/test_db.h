// Test helper: the private MariaDB of the build tree (fixture "mariadb").
// Only for test executables added with FIXTURES mariadb, which are compiled
// with KEST_DB_DIR. UseTestDatabase() points the ODBC driver manager at the
// server's odbc.ini before the first connection.
#pragma once

#include <cstdlib>
#include <string>

#ifndef KEST_DB_DIR
#error "test_db.h needs a test added with FIXTURES mariadb"
#endif

namespace kest_test {

// Data source names written by scripts/db.sh.
constexpr const char *kMariaDsn = "ALTIBASE_DSN";
constexpr const char *kSqliteDsn = "KEST_SQLITE";

inline std::string TestDbDir() { return KEST_DB_DIR; }

inline void UseTestDatabase(const std::string &dir = TestDbDir()) {
    setenv("ODBCINI", (dir + "/odbc.ini").c_str(), 1);
    setenv("ODBCSYSINI", dir.c_str(), 1);
}

}  // namespace kest_test
