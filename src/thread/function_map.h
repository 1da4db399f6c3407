#pragma once

#include <cstdint>
#include <vector>

// One registered handler: a key and a member function of Owner taking a pointer to Arg.
template <typename Owner, typename Key, typename Arg>
struct FunctionMapPair {
    using Handler = std::int32_t (Owner::*)(Arg*);
    Key key;
    Handler handler;
};

// Calls member functions of one owner by key, e.g. event id to handler.
template <typename Owner, typename Key, typename Arg>
class FunctionMap {
public:
    using Pair = FunctionMapPair<Owner, Key, Arg>;
    using Handler = typename Pair::Handler;

    explicit FunctionMap(Owner* owner) : owner(owner) {}

    // A key may be added twice; only its first pair is ever called.
    void AddHandler(const Key& key, Handler handler) { pairs.push_back(Pair{key, handler}); }

    // The first handler registered for `key`, called on the owner; 0 without owner or match.
    std::int32_t CallHandler(const Key& key, Arg* argument) {
        if (owner == nullptr) return 0;
        for (const Pair& pair : pairs) {
            if (pair.key == key) return (owner->*pair.handler)(argument);
        }
        return 0;
    }

    Owner* owner;
    std::vector<Pair> pairs;
};
