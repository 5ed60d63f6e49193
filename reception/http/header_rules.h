// What the service's checks need of a request's headers, noted as they are
// read: the Host, Origin and Cookie values, and whether any header came
// that browsers send and notifiers never do.
#pragma once

#include "http/server.h"

// Notes one header of the request; names are compared without case.
void noteHeader(HttpRequest& request, const char* name, const char* value);
// A header only browsers send: User-Agent, Accept, Referer, Origin, Cookie,
// Upgrade-Insecure-Requests or any Sec- header. Notifiers send Host alone.
bool isBrowserHeader(const char* name);
