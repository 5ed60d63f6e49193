// A sync's result as the desk's directory panel reads it (at, outcome,
// summary, reason, counts, changes), kept as this text in the database so
// that every instance shows the same result.
#pragma once

#include <string>

#include "directory/directory_sync.h"

std::string directoryResultJson(const DirectorySyncResult& result);
