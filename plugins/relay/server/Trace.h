// Traces and wx log messages of the relay, each naming the function they come from.
#pragma once

#include <KwaCore.h>

#include <wx/log.h>
#include <wx/string.h>

// Trace under component "RS"; the message is formatted only when tracing is on.
#define RS_TRACE(function, ...)                                                                    \
    do {                                                                                           \
        if (KwaCore::LogTraceIsEnabled(L"RS"))                                                     \
            KwaCore::LogTrace(L"RS", __FILE__, __LINE__, function, wxString::Format(__VA_ARGS__)); \
    } while (0)

#define RS_LOG_AT(level, function, ...)                                                            \
    wxLogger(level, __FILE__, __LINE__, function, wxLOG_COMPONENT).Log(__VA_ARGS__)

#define RS_LOG_ERROR(function, ...) RS_LOG_AT(wxLOG_Error, function, __VA_ARGS__)
#define RS_LOG_WARNING(function, ...) RS_LOG_AT(wxLOG_Warning, function, __VA_ARGS__)
// Verbose messages (wxLOG_Info) are made only while verbose logging is on.
#define RS_LOG_VERBOSE(function, ...)                                                              \
    do {                                                                                           \
        if (wxLog::GetVerbose())                                                                   \
            RS_LOG_AT(wxLOG_Info, function, __VA_ARGS__);                                          \
    } while (0)
