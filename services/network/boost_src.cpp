// The compiled parts of Boost.Asio's TLS and of Boost.Beast, built once for the whole program
// (BOOST_*_SEPARATE_COMPILATION keeps them out of every other translation unit); Asio's own is in
// asio_src.cpp.
#include <boost/asio/ssl/impl/src.hpp>
#include <boost/beast/src.hpp>
