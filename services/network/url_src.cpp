// The compiled part of Boost.URL, apart from Asio and Beast: URL validation builds on its own
// (the fuzz target links it without the network client).
#include <boost/url/src.hpp>
