// The desk's part of visits:
//   GET  /api/desk/on-site                 desk, admin: {"visits": [{"id", "guestName", "company", "hostId",
//                                          "hostName", "checkedInAt"}]}, oldest first
//   POST /api/desk/visits/<id>/sign-out     desk, admin: the guest has left
// Announcing a guest at the desk (POST /api/desk/notifications) starts a visit,
// with an optional "company".
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "desk/answers.h"
#include "store/visits.h"

HttpResponse onSiteList(const DeskCall& call);
HttpResponse signOutAtDesk(const DeskCall& call);

// The audit detail of a sign-out, made when it commits.
std::function<std::string()> signOutDetail(const VisitRow& visit);

// A visit on site as the desk's, the kiosk's and the roll call's JSON has it.
nlohmann::json visitJson(const VisitRow& visit);
