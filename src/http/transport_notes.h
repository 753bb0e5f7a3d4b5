// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The transport's own words for each exchange that failed (curl's English text, with the
// address), for a person who asked for them, as the command line's --verbose does. The
// texts a person reads in the log and the window name causes in Chinese only; these words
// go where a listener puts them, and nowhere when none listens.
//
//   listen_to_transport([](const std::string& address, const std::string& words) {...});
//   ... fetches ...                 // every failed exchange calls the listener once
//   listen_to_transport({});        // stops listening
#include <functional>
#include <string>

namespace af {

using TransportListener = std::function<void(const std::string& address, const std::string& words)>;

// Replaces the listener. It is called from whichever thread the exchange ran on, one call
// at a time.
void listen_to_transport(TransportListener listener);

// Hands one failure to the listener, if any.
void tell_transport(const std::string& address, const std::string& words);

}  // namespace af
