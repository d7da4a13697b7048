#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <typeinfo>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

namespace detail {
// The demangled name of a type with every namespace and class qualifier
// removed: "std::vector<mornik::URL>" becomes "vector<URL>".
std::string unqualifiedTypeName(const std::type_info& type);
// The fully qualified demangled name.
std::string demangledTypeName(const std::type_info& type);
}  // namespace detail

// The name the library uses for a type in its messages ("nil for optional
// value of type <Int>"): the library's names for the common value types
// (Int, Double, Bool, String, Data, Array<...>, Dictionary<...>, ...), else
// the unqualified C++ name. Specialize TypeNameOf for a type of your own:
//
//   template <> struct mornik::TypeNameOf<Money> {
//     static std::string name() { return "Money"; }
//   };
template <class T>
struct TypeNameOf {
  static std::string name() { return detail::unqualifiedTypeName(typeid(T)); }
};

template <class T>
std::string typeName() {
  return TypeNameOf<T>::name();
}

#define MORNIK_FIXED_TYPE_NAME(Type, Name)     \
  template <>                                  \
  struct TypeNameOf<Type> {                    \
    static std::string name() { return Name; } \
  }

MORNIK_FIXED_TYPE_NAME(bool, "Bool");
MORNIK_FIXED_TYPE_NAME(char, "Character");
MORNIK_FIXED_TYPE_NAME(signed char, "Int8");
MORNIK_FIXED_TYPE_NAME(unsigned char, "UInt8");
MORNIK_FIXED_TYPE_NAME(short, "Int16");
MORNIK_FIXED_TYPE_NAME(unsigned short, "UInt16");
MORNIK_FIXED_TYPE_NAME(int, "Int");
MORNIK_FIXED_TYPE_NAME(long, "Int");
MORNIK_FIXED_TYPE_NAME(long long, "Int");
MORNIK_FIXED_TYPE_NAME(unsigned int, "UInt");
MORNIK_FIXED_TYPE_NAME(unsigned long, "UInt");
MORNIK_FIXED_TYPE_NAME(unsigned long long, "UInt");
MORNIK_FIXED_TYPE_NAME(float, "Float");
MORNIK_FIXED_TYPE_NAME(double, "Double");
MORNIK_FIXED_TYPE_NAME(long double, "Double");
MORNIK_FIXED_TYPE_NAME(std::string, "String");
MORNIK_FIXED_TYPE_NAME(std::string_view, "String");
MORNIK_FIXED_TYPE_NAME(std::vector<std::uint8_t>, "Data");

#undef MORNIK_FIXED_TYPE_NAME

template <class T, class A>
struct TypeNameOf<std::vector<T, A>> {
  static std::string name() { return "Array<" + typeName<T>() + ">"; }
};
template <class T>
struct TypeNameOf<std::optional<T>> {
  static std::string name() { return "Optional<" + typeName<T>() + ">"; }
};
template <class K, class V, class C, class A>
struct TypeNameOf<std::map<K, V, C, A>> {
  static std::string name() { return "Dictionary<" + typeName<K>() + ", " + typeName<V>() + ">"; }
};
template <class K, class V, class H, class E, class A>
struct TypeNameOf<std::unordered_map<K, V, H, E, A>> {
  static std::string name() { return "Dictionary<" + typeName<K>() + ", " + typeName<V>() + ">"; }
};
template <class T, class C, class A>
struct TypeNameOf<std::set<T, C, A>> {
  static std::string name() { return "Set<" + typeName<T>() + ">"; }
};
template <class T, class H, class E, class A>
struct TypeNameOf<std::unordered_set<T, H, E, A>> {
  static std::string name() { return "Set<" + typeName<T>() + ">"; }
};

}  // namespace mornik

MORNIK_EXPORTS_END
