// The compiled part of Boost.Asio, built once (BOOST_ASIO_SEPARATE_COMPILATION keeps it out of
// every other translation unit). Apart from Beast's, so the reach library and its tests and fuzz
// targets build without Beast.
#include <boost/asio/impl/src.hpp>
