// Beast and Asio, compiled once for everything that links the platform layer.
#include <boost/asio/impl/src.hpp>
#include <boost/beast/src.hpp>
