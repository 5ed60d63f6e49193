// Every table, index and migration of the service's database, and opening
// the file: a file that is not this service's database, is damaged or comes
// from a newer version is refused before anything is written to it.
#pragma once

#include <string>

// Opens (creating if needed) the database file and brings its schema up to
// date; "" or an error message naming the file.
std::string openStorage(const std::string& path);
// Saves the poll times not yet saved, then closes.
void closeStorage();
