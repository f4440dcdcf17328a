// The platform's IPv4 socket address type (`sockaddr_in`, `in_addr`), for headers that hold one.
// This is the one place that picks the system header; nothing else in net_tools names a platform.
// On Windows include this (or any net_tools header) before <windows.h>, or define
// WIN32_LEAN_AND_MEAN, so that Winsock 2's declarations are the ones in force.
#pragma once

#ifdef _WIN32
#ifndef _WINSOCKAPI_
#include <winsock2.h>
#endif
#else
#include <netinet/in.h>
#endif
