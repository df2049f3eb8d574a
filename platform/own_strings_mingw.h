// Put in front of every file of the Windows appliers (-include). The C++
// library's own instantiation of std::string and std::wstring comes whole,
// about 35 KB each, into every program that uses one member; without the
// library's declaration of that instantiation, each file instantiates the
// members it uses and the program carries only those. The library's
// configuration provides the value -1 for this: no extern templates of the
// strings, all others kept.
#pragma once
#include <bits/c++config.h>
#undef _GLIBCXX_EXTERN_TEMPLATE
#define _GLIBCXX_EXTERN_TEMPLATE -1
