// The narrow port between the plug-in core and the system underneath it.
//
// Every procedure here stands for one system call of the Windows build and
// keeps its shape, so platform/win32 forwards each one to the real API and
// platform/posix provides the same behaviour on its own event loop, store
// and HTTP client. The HTTP post is the one place where a procedure stands
// for several calls: the core hands over a whole post and later takes one
// outcome, and each backend runs the post on a sender thread of its own
// (see platform/port_http.h). The core includes this header and nothing
// system-specific; its sections live in the headers below.
#pragma once

#include "platform/port_files.h"
#include "platform/port_http.h"
#include "platform/port_settings.h"
#include "platform/port_text.h"
#include "platform/port_window.h"
