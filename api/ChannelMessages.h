#pragma once
// What the server's notifications on the event channel do: reader
// connections, disconnections and door changes change the site model (which
// queues the reader transitions); "activities_available" asks for an activity
// run. Each message is parsed once; a message that cannot be read is logged
// and changes nothing. Runs on the channel's receive thread, one message at a
// time, and takes no lock of its own.

#include "api/SiteModel.h"

#include <functional>
#include <string>

void DispatchChannelMessage(const std::string& text, SiteModel& site, const std::function<void()>& activitiesAvailable);
