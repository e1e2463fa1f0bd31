// Audit log of the host. Each record is one JSON object on one line, appended with a single
// write(2) to a file opened with O_APPEND and mode 0600:
//   {"time":"...","eventID":"...","subject":"...","object":"...","result":true,"items":{...}}
// A record that cannot be written is reported on the host log at level 2; the call never fails.
// Until VlrAudit_Configure is called, records are dropped. Never pass secrets. Thread-safe.
#pragma once

#include <string>

struct VlrAuditItem {
  const char* name;
  const char* value;
};

// Sets the file the records are appended to (empty disables the audit log).
void VlrAudit_Configure(const std::string& path);
// Configures path and opens it now; returns 0, or the errno value when it cannot be opened.
int VlrAudit_Open(const std::string& path);
// Closes the open file: the next record opens the configured path afresh.
void VlrAudit_Reopen();
// items: name/value pairs ended by {nullptr, nullptr}; may itself be null. Null strings are
// written as empty strings.
void VlrAudit_LogList(const char* eventId, const char* subject, const char* object, bool success,
                      const VlrAuditItem* items);
