// Change announcements of observable properties: will/did order, the Prior and NewValue options, contexts,
// removal and tokens, the thread a notification arrives on, and removal racing with notifications.
#include <atomic>
#include <set>

#include "PlatformTestUtil.h"
#include "platform/Observable.h"

using namespace std::chrono_literals;
using ovn::KeyValueChange;
using ovn::Observable;
using ovn::ObservationToken;
using ovn::Value;

namespace {

// An object with two observable text properties.
class Thing : public Observable {
public:
    void setStatus(const std::string& text) {
        willChangeValueForKey("status");
        {
            std::lock_guard<std::mutex> lock(mutex_);
            status_ = text;
        }
        didChangeValueForKey("status");
    }
    void setOther(int64_t v) {
        willChangeValueForKey("other");
        other_.store(v);
        didChangeValueForKey("other");
    }
    Value valueForKey(const std::string& key) const override {
        if (key == "status") {
            std::lock_guard<std::mutex> lock(mutex_);
            return status_;
        }
        if (key == "other") return other_.load();
        return {};
    }

private:
    mutable std::mutex mutex_;
    std::string status_ = "initial";
    std::atomic<int64_t> other_{0};
};

struct Call {
    std::string key;
    Value newValue;
    bool prior;
    void* context;
    Value valueAtCall;  // what the object answered while the observer was being told
};

class Recorder : public ovn::KeyValueObserver {
public:
    void observeValueForKeyPath(const std::string& keyPath, Observable* object, const KeyValueChange& change,
                                void* context) override {
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back(Call{keyPath, change.newValue, change.isPrior, context, object->valueForKey(keyPath)});
    }
    std::vector<Call> snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return calls;
    }
    std::mutex mutex;
    std::vector<Call> calls;
};

int kContextA = 0;
int kContextB = 0;

}  // namespace

Value text(const char* s) { return Value{std::string(s)}; }

TEST(Observable, PriorObserverIsToldBeforeAndAfterTheChange) {
    Thing thing;
    Recorder recorder;
    thing.addObserver(&recorder, "status", Observable::NewValue | Observable::Prior, &kContextA);
    thing.setStatus("USB Open");
    auto calls = recorder.snapshot();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_TRUE(calls[0].prior);
    EXPECT_EQ(calls[0].valueAtCall, text("initial")) << "the prior call comes before the change";
    EXPECT_TRUE(ovn::isNothing(calls[0].newValue)) << "the prior call has no new value yet";
    EXPECT_FALSE(calls[1].prior);
    EXPECT_EQ(calls[1].newValue, text("USB Open"));
    EXPECT_EQ(calls[0].context, &kContextA);
    EXPECT_EQ(calls[1].context, &kContextA);
}

TEST(Observable, WithoutOptionsOnlyTheChangeItselfIsToldWithoutValue) {
    Thing thing;
    Recorder recorder;
    thing.addObserver(&recorder, "status", 0, nullptr);
    thing.setStatus("USB Busy");
    auto calls = recorder.snapshot();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_FALSE(calls[0].prior);
    EXPECT_TRUE(ovn::isNothing(calls[0].newValue));
    EXPECT_EQ(calls[0].valueAtCall, text("USB Busy"));
}

TEST(Observable, OnlyTheObservedKeyIsToldAndEachRegistrationGetsItsContext) {
    Thing thing;
    Recorder recorder;
    thing.addObserver(&recorder, "status", Observable::NewValue, &kContextA);
    thing.addObserver(&recorder, "status", Observable::NewValue, &kContextB);
    thing.setOther(7);
    EXPECT_TRUE(recorder.snapshot().empty());
    thing.setStatus("x");
    auto calls = recorder.snapshot();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ((std::set<void*>{calls[0].context, calls[1].context}), (std::set<void*>{&kContextA, &kContextB}));

    // Removing one registration (by its context) leaves the other; removing one never made changes nothing.
    thing.removeObserver(&recorder, "status", &kContextA);
    EXPECT_EQ(thing.observationCount(), 1u);
    thing.setStatus("y");
    calls = recorder.snapshot();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[2].context, &kContextB);
    EXPECT_EQ(calls[2].newValue, text("y"));
    thing.removeObserver(&recorder, "other", &kContextB);
    thing.removeObserver(&recorder, "status", &kContextA);
    EXPECT_EQ(thing.observationCount(), 1u);

    thing.removeObserver(&recorder, "status", &kContextB);
    thing.setStatus("z");
    EXPECT_EQ(recorder.snapshot().size(), 3u);
    EXPECT_EQ(thing.observationCount(), 0u);
}

TEST(Observable, TokenStopsNotificationsWhenResetDestroyedOrReplaced) {
    Thing thing;
    std::vector<std::string> seen;
    auto record = [&](const std::string& key, const KeyValueChange& change) {
        seen.push_back(key + "=" + ovn::describeValue(change.newValue));
    };
    ObservationToken token = thing.observe("other", record);
    thing.setOther(1);
    // Moving keeps the registration; the moved-from token is inert.
    ObservationToken moved = std::move(token);
    token.reset();
    thing.setOther(2);
    moved.reset();
    moved.reset();  // twice is harmless
    thing.setOther(3);
    EXPECT_EQ(thing.observationCount(), 0u);
    {
        ObservationToken scoped = thing.observe("other", record);
        thing.setOther(4);
    }
    thing.setOther(5);
    EXPECT_EQ(seen, (std::vector<std::string>{"other=1", "other=2", "other=4"}));

    // Assigning over a live token ends the old registration.
    ObservationToken first = thing.observe("other", record);
    first = thing.observe("status", record);
    EXPECT_EQ(thing.observationCount(), 1u);
    thing.setOther(6);
    thing.setStatus("s");
    EXPECT_EQ(seen, (std::vector<std::string>{"other=1", "other=2", "other=4", "status=s"}));

    // A token may outlive the observed object: resetting it must not touch the freed object (ASan).
    {
        Thing gone;
        first = gone.observe("status", record);
        EXPECT_EQ(gone.observationCount(), 1u);
    }
    first.reset();
    EXPECT_EQ(thing.observationCount(), 0u);
}

TEST(Observable, NotificationsArriveOnTheThreadThatMadeTheChange) {
    Thing thing;
    auto queue = ovn::DispatchQueue::createSerial("test.observable.changer");
    std::thread::id changerThread, toldOn;
    std::string toldLabel;
    ObservationToken token = thing.observe("status", [&](const std::string&, const KeyValueChange&) {
        toldOn = std::this_thread::get_id();
        toldLabel = ovn::DispatchQueue::currentLabel();
    });
    ASSERT_TRUE(platform_test::runOn(queue, [&] {
        changerThread = std::this_thread::get_id();
        thing.setStatus("from queue");
    }));
    EXPECT_EQ(toldOn, changerThread);
    EXPECT_EQ(toldLabel, "test.observable.changer");
    EXPECT_NE(toldOn, std::this_thread::get_id());
}

TEST(Observable, ObserversMayRegisterAndRemoveFromInsideANotification) {
    Thing thing;
    int calls = 0;
    ObservationToken self, added;
    self = thing.observe("other", [&](const std::string&, const KeyValueChange&) {
        ++calls;
        self.reset();  // removes itself while being told
        added = thing.observe("status", [&](const std::string&, const KeyValueChange&) { ++calls; });
    });
    thing.setOther(1);
    thing.setOther(2);
    thing.setStatus("s");
    EXPECT_EQ(calls, 2);
}

TEST(Observable, RemovalWhileAnotherThreadNotifiesIsSafe) {
    // One thread changes the property without pause while this thread keeps adding and removing observers.
    // Nothing may crash or touch a freed registration (ASan/TSan), and once removal has returned and the
    // changes have stopped, no removed observer hears anything more.
    Thing thing;
    Recorder longLived;  // raw observers stay valid for the whole test, as the interface requires
    std::atomic<bool> stop{false};
    std::atomic<long> changes{0};
    std::thread changer([&] {
        int64_t v = 0;
        while (!stop.load()) {
            thing.setOther(++v);
            changes.fetch_add(1);
        }
    });
    auto counter = std::make_shared<std::atomic<long>>(0);
    for (int round = 0; round < 300; ++round) {
        thing.addObserver(&longLived, "other", Observable::NewValue | Observable::Prior, &kContextA);
        // State owned by the callback alone: a notification still in flight after reset() must find it alive.
        auto owned = std::make_shared<std::vector<int64_t>>(64, 0);
        ObservationToken token =
            thing.observe("other", [counter, owned](const std::string&, const KeyValueChange& c) {
                if (c.isPrior) return;
                (*owned)[static_cast<size_t>(counter->fetch_add(1)) % owned->size()] = std::get<int64_t>(c.newValue);
            });
        owned.reset();
        std::this_thread::yield();
        thing.removeObserver(&longLived, "other", &kContextA);
        token.reset();
    }
    // Let the changer make some more changes with nobody registered.
    long before = changes.load();
    while (changes.load() < before + 100) std::this_thread::yield();
    stop = true;
    changer.join();
    EXPECT_EQ(thing.observationCount(), 0u);

    size_t heard = longLived.snapshot().size();
    long counted = counter->load();
    thing.setOther(-1);
    EXPECT_EQ(longLived.snapshot().size(), heard);
    EXPECT_EQ(counter->load(), counted);
    // The values heard were the object's own.
    for (auto& call : longLived.snapshot()) EXPECT_TRUE(call.prior || std::holds_alternative<int64_t>(call.newValue));
}

TEST(Observable, ManyThreadsChangingAtOnceAreEachToldOncePerChange) {
    Thing thing;
    std::atomic<long> did{0}, will{0};
    ObservationToken token =
        thing.observe("other", [&](const std::string&, const KeyValueChange& c) { (c.isPrior ? will : did)++; },
                      Observable::NewValue | Observable::Prior);
    constexpr int kThreads = 4, kChanges = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kChanges; ++i) thing.setOther(i);
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(did.load(), kThreads * kChanges);
    EXPECT_EQ(will.load(), kThreads * kChanges);
}
