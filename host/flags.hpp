#pragma once

#include <type_traits>

// A set of bits of one enumeration. Keeps flag sets of different enumerations apart at compile
// time while staying the size of the enumeration's underlying type.
template <typename E> class tdFlags
{
public:
    using Bits = std::underlying_type_t<E>;

    constexpr tdFlags() = default;
    constexpr tdFlags(E value) : bits(static_cast<Bits>(value)) {}

    static constexpr tdFlags FromBits(Bits value)
    {
        tdFlags flags;
        flags.bits = value;
        return flags;
    }

    constexpr Bits GetBits() const { return bits; }
    // True when any bit of `value` is set.
    constexpr bool Has(E value) const { return (bits & static_cast<Bits>(value)) != 0; }
    constexpr bool HasAll(E value) const
    {
        return (bits & static_cast<Bits>(value)) == static_cast<Bits>(value);
    }

    constexpr tdFlags &operator|=(tdFlags other)
    {
        bits = static_cast<Bits>(bits | other.bits);
        return *this;
    }
    constexpr tdFlags operator|(tdFlags other) const { return FromBits(static_cast<Bits>(bits | other.bits)); }
    constexpr bool operator==(tdFlags other) const { return bits == other.bits; }
    constexpr bool operator!=(tdFlags other) const { return bits != other.bits; }

private:
    Bits bits = 0;
};
