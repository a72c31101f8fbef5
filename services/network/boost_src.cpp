// The compiled parts of Boost.Asio and Boost.Beast, built once for the whole program
// (BOOST_*_SEPARATE_COMPILATION keeps them out of every other translation unit).
#include <boost/asio/impl/src.hpp>
#include <boost/asio/ssl/impl/src.hpp>
#include <boost/beast/src.hpp>
