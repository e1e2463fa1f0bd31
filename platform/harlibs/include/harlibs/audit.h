// Audit log of the host. Each record is one JSON object on one line, appended to a file opened
// with O_APPEND and mode 0600:
//   {"time":"...","eventID":"...","subject":"...","object":"...","result":true,"items":{...}}
// VlrAudit_LogList returns once its record has been handed to the kernel (one write(2) of the
// whole line to a file opened O_APPEND, so lines of concurrent callers never interleave). A file
// moved aside or replaced is followed within a second (the path is asked again at most every
// half second, and at once after a failed write or VlrAudit_Reopen).
// A record that cannot be written is reported on the host log at level 2; the call never fails.
// Until the path is configured, records are dropped. Never pass secrets. Thread-safe.
#pragma once

#include <string>

struct VlrAuditItem {
  const char* name;
  const char* value;
};

// Sets the file the records are appended to (empty disables the audit log).
void VlrAudit_Configure(const std::string& path);
// Configures the path and opens the file now; 0, or the errno value of the failed open.
int VlrAudit_Open(const std::string& path);
// Closes the open file, so that the next record opens the configured path afresh.
void VlrAudit_Reopen();
// items: name/value pairs ended by {nullptr, nullptr}; may itself be null. Null strings are
// written as empty strings.
void VlrAudit_LogList(const char* eventId, const char* subject, const char* object, bool success,
                      const VlrAuditItem* items);
