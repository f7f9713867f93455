/// @file
/// The web layer in one include: the request and its fields, files and
/// cookies, the response head, limits, errors, a request from a capture
/// file, and the request loop (serve) that runs a program under CGI and as
/// a FastCGI responder. serve.h declares the loop only: a program that never
/// calls it needs cgiecho::serve (and libfcgi) neither to compile nor to
/// link.
#pragma once

#include <cgiecho/serve/serve.h>
#include <cgiecho/web/cookies.h>
#include <cgiecho/web/errors.h>
#include <cgiecho/web/form.h>
#include <cgiecho/web/from_capture.h>
#include <cgiecho/web/limits.h>
#include <cgiecho/web/request.h>
#include <cgiecho/web/response.h>
#include <cgiecho/web/upload.h>

/// @namespace cgiecho
/// The library's C++ interface: the core (codec, request, output, echo),
/// the platform seam, the request loop, capture and the web layer.
/// @namespace cgiecho::web
/// The web layer: the request and its fields, files and cookies, typed
/// fields, the response, limits, and errors as values (web::result).
