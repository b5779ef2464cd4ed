#pragma once

// Change records with the field names of the Elastic Common Schema, which
// log pipelines, search engines and their dashboards read without a
// mapping of their own (--format ecs). One JSON object per line:
//
//   {"@timestamp":"2026-12-07T14:05:09.123+01:00","ecs":{"version":"8.11.0"},
//    "event":{"kind":"event","category":["file"],"type":["change"],
//             "action":"rename","module":"sentrel","dataset":"sentrel.changes"},
//    "log":{"level":"info"},
//    "file":{"path":"/home/ann/b.txt","name":"b.txt","directory":"/home/ann",
//            "extension":"txt","type":"file",
//            "Ext":{"original":{"path":"/home/ann/a.txt","name":"a.txt"}}},
//    "process":{"pid":4242,"name":"mv","executable":"/usr/bin/mv"},
//    "user":{"id":"1000","name":"ann"},"host":{"name":"desk"},
//    "sentrel":{"action":"Renamed","watch":"/home/ann"}}
//
// "event.action" is what the schema's file events say (creation, deletion,
// modification, rename); the program's own action, catch-up's included,
// is "sentrel.action". A rename's old path is where file events put it,
// "file.Ext.original". Lost and merged changes and folders not watched or
// not caught up are "info" events of level "warning" with "event.reason".
// Every string is valid UTF-8: a path that is not keeps its exact bytes in
// Base64 under "sentrel" ("path_base64", "old_path_base64",
// "watch_base64", "executable_base64") beside its readable form.
#include "records/ChangeRecords.h"

#include <string>

// The schema's version the records follow.
inline constexpr const char* EcsVersion = "8.11.0";

// The object of one record, without the line break; host: the machine's
// name ("host.name", left out when empty); its process only when asked for.
std::string EcsRecord(const TChangeRecord& record, const std::string& host, bool withProcess = true);
