// The service's one table of answers: each failure has one status, one
// message and, where it applies, a Retry-After, wherever it arises; and one
// mapping from a store outcome to an answer for each audience.
#pragma once

#include <string>

#include "http/server.h"
#include "store/database.h"

// Who reads an answer. desk: the desk page's script, {"error": message};
// notifier: an empty body (notifiers decode any body as users or records);
// page: a person in a browser, a small HTML page.
enum class Audience { desk, notifier, page };

enum class Failure {
  busy,               // another program holds the database: worth a retry shortly
  serverBusy,         // the writers' or the hasher's queue is full
  databaseUnreachable,  // the database server cannot be reached: worth a retry later
  saveFailed,         // a write failed (the store logged what)
  readFailed,         // a read failed (the store logged what)
  loginWaiting,       // a login from this address already waits for the hasher
  tooLarge,           // the body passes the route's limit
  tooManyParameters,  // the query passes the parameter limit
  notFound,           // no request of the API has this path
  methodNotAllowed,   // the path has requests, of other methods (with Allow)
  needsLogin,         // no valid session
  adminOnly,          // the session's role is not admin
  crossSite,          // a desk write from another site
  notJson,            // a write whose body is not declared application/json
  twoSessionCookies,  // the browser sent more than one session cookie
  wrongKey,           // a notifier request without the right key
  fromBrowser,        // a notifier request with headers only browsers send
};

struct AnswerRow {
  int status;
  const char* message;
  int retryAfterSeconds;  // 0: no Retry-After
};

const AnswerRow& answerRow(Failure failure);

// The failure's answer for the audience; allow is the Allow header's value
// ("GET, POST") for methodNotAllowed.
HttpResponse failureAnswer(Failure failure, Audience audience, const std::string& allow = "");
// The answer to a store outcome a handler does not answer itself: busy and
// unreachable are always 503 with Retry-After (each saying which), anything
// else otherwise (saveFailed or readFailed).
HttpResponse outcomeAnswer(Outcome outcome, Audience audience, Failure otherwise = Failure::saveFailed);

// The JSON answers of the desk.
HttpResponse jsonText(int status, std::string json);
// A small HTML page (title as heading, content as HTML) that leaks its
// address to no other site or cache.
HttpResponse htmlPage(int status, const std::string& title, const std::string& content);
std::string htmlEscaped(const std::string& text);
