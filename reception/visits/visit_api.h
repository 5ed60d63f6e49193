// The desk's part of visits:
//   GET  /api/desk/on-site                 desk, admin: {"visits": [{"id", "guestName", "company", "hostId",
//                                          "hostName", "checkedInAt"}]}, oldest first
//   POST /api/desk/visits/<id>/sign-out     desk, admin: the guest has left
// Announcing a guest at the desk (POST /api/desk/notifications) starts a visit,
// with an optional "company".
#pragma once

#include <string>
#include <string_view>

#include "desk/answers.h"
#include "store/visits.h"

constexpr std::size_t maxCompanyChars = 80;

HttpResponse onSiteList(const DeskCall& call);
HttpResponse signOutAtDesk(const DeskCall& call);

// The "company" member of a JSON body: "" when absent, else trimmed and
// checked as a display line; "" or the message for whoever typed it.
std::string parseCompany(std::string_view body, const std::string& codePage, std::string& company);

// A visit on site as the desk's, the kiosk's and the roll call's JSON has it.
nlohmann::json visitJson(const VisitRow& visit);
