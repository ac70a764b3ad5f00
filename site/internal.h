// What the files of site/ share: the hooks the service lent.
#pragma once

#include <boost/asio/io_context.hpp>

#include "site/site.h"

namespace siteint {
// The service's network loop (set by setSiteHooks before it runs).
boost::asio::io_context& loop();
// Tells a connection how its site's question stands (see SiteHooks).
void tellApproval(uint64_t clientId, const std::string& site, const char* state);
void tellConfirm(uint64_t clientId, const std::string& site, const char* state,
                 const std::string& text);
}  // namespace siteint
