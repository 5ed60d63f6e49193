// The desk's side of the hosts' own pages (host_pages.cpp).
#pragma once

#include <nlohmann/json.hpp>

#include "desk/answers.h"

// Adds "page" (signed in to their own page) to each of state["staff"].
Outcome addHostPageState(nlohmann::json& state);
HttpResponse signOutEverywhere(const DeskCall& call);
HttpResponse memberNotifierKey(const DeskCall& call);
HttpResponse newMemberNotifierKey(const DeskCall& call);
