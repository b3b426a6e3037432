// Test helpers: row dumps of a table from our reader and from the two independent readers
// (mdbtools' mdb-export and the npm package mdb-reader), in one canonical shape.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "jet/database.h"

namespace orvelle::jet::test {

// Column names and rows (one string per field); null and empty text are both "".
struct TableDump {
  std::vector<std::string> columns;
  std::vector<std::vector<std::string>> rows;
};

// Our reader, restricted to the columns every reader renders alike (RenderValue).
TableDump OwnDump(Database& db, const std::string& table);
// User tables (Type 1, not system) in catalogue order.
std::vector<std::string> UserTables(Database& db);

// Availability with the reason when absent (for GTEST_SKIP).
bool MdbToolsAvailable(std::string* why);
bool MdbReaderAvailable(std::string* why);
TableDump MdbExportDump(const std::string& file, const std::string& table);
TableDump MdbReaderDump(const std::string& file, const std::string& table);
// With the password of a password-encrypted file (mdb-reader reads the RC4 CryptoAPI and agile
// schemes).
TableDump MdbReaderDump(const std::string& file, const std::string& table,
                        const std::string& password);

// True where the oracle ("mdbtools" or "mdb-reader") is known to read a fixture's table wrongly
// (file is the fixture's file name); our reader is compared with the other oracle only there.
bool OracleKnownWrong(const std::string& file, const std::string& table, const std::string& oracle);

// Rows of b reduced to the columns of a, in a's column order; every row as one line; sorted.
std::vector<std::string> Canonical(const TableDump& reference, const TableDump& other);

}  // namespace orvelle::jet::test
