#include <BrimSubscriber/mainthread/MoveOnlyFunction.h>

#include <gtest/gtest.h>

#include <array>
#include <memory>

using Call = brim::MoveOnlyFunction<int(int)>;

// Knows its own address: a move that copies its bytes instead of running its move constructor leaves it pointing
// at the old place. It says it may be moved by bytes only when it is told to lie.
template <std::size_t Padding>
struct SelfAware {
    SelfAware() : self(this) {}
    SelfAware(SelfAware&& other) noexcept : self(this), token(std::move(other.token)) {}
    int operator()(int x) const { return self == this ? x + *token : -1; }
    SelfAware* self;
    std::shared_ptr<int> token = std::make_shared<int>(Padding);
    std::array<char, Padding> padding{};
};

// In place and on the heap alike: a callable keeps its state across moves and runs with it, what it captured goes
// exactly once with the last holder, and a moved-from holder is empty.
TEST(MoveOnlyFunctionTest, StateSurvivesMovesAndIsDestroyedOnce) {
    static_assert(Call::kFitsInPlace<SelfAware<8>> && !Call::kFitsInPlace<SelfAware<100>>);
    std::weak_ptr<int> small, large;
    {
        SelfAware<8> a;
        SelfAware<100> b;
        small = a.token, large = b.token;
        Call first(std::move(a)), second(std::move(b));
        Call movedA(std::move(first)), movedB(std::move(second));
        Call assigned = [owned = std::make_unique<int>(5)](int x) { return x * *owned; };
        assigned = std::move(movedB);
        EXPECT_TRUE(!first && !second && !movedB && movedA && assigned);  // NOLINT(bugprone-use-after-move)
        EXPECT_EQ(movedA(1), 9);
        EXPECT_EQ(assigned(1), 101);
        EXPECT_EQ(small.use_count() + large.use_count(), 2);
    }
    EXPECT_TRUE(small.expired() && large.expired());
}

// Every kind of empty callable makes an empty holder.
TEST(MoveOnlyFunctionTest, EmptyCallablesOfEveryKindMakeAnEmptyHolder) {
    int (*nullFunction)(int) = nullptr;
    EXPECT_FALSE(Call(nullptr) || Call(nullFunction) || Call(std::function<int(int)>()) || Call(Call()));
    EXPECT_TRUE(Call([](int x) { return x; }) && Call(+[](int x) { return x; }));
}
