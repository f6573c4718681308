#pragma once

#include <string>

#include "frontend/OutboxEntry.h"

// A delivery status notification (multipart/report) about an entry that
// failed: a text part, the delivery status of each waiting receiver, and the
// headers of the message. date is the Date header's value.
std::string NoticeMessage(const OutboxEnvelope& failed, const std::string& to,
                          const std::string& reason, const std::string& headers,
                          const std::string& date, const std::string& localHost);
