// POST /api/desk/visitors/erase {"guestName"} or {"guestEmail"} (admin):
// every record of that visitor deleted; {"erased": N}, N the visits.
#pragma once

#include "desk/answers.h"

HttpResponse eraseVisitorAnswer(const DeskCall& call);
