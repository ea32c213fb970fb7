// Process entry: start-up, the reactor on its one worker thread, and the one-second liveness loop
// on the main thread.
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <list>
#include <thread>

#include "event_loop/Epoll.h"
#include "kest_db_selecter.h"
#include "kest_ha_link.h"
#include "kest_manager.h"

int main(int argc, char **argv) {
    kest::KestManager *pm = kest::KestManager::getInstance();
    try {
        pm->init(argc, argv);
    } catch (const std::exception &e) {
        fflush(stdout);
        fprintf(stderr, "%s\n", e.what());
        // The HA library's threads may already run: no exit handlers under them.
        kest::KestManager::EndNow(1);
    }
    pm->log().info("============ START KEST %s =============\n", KEST_VERSION);
    pm->logConfigNotes();

    std::list<std::thread> workers;
    auto *epoll = new EventCLoop::Epoll();             // lives as long as the process
    auto *selecter = new kest::DbSelecter(*epoll);
    try {
        selecter->run();
    } catch (const std::exception &e) {
        pm->log().critical("%s\n", e.what());
        fflush(stdout);
        fprintf(stderr, "%s\n", e.what());
        kest::KestManager::EndNow(1);
    }

    workers.emplace_back([epoll] {
        for (;;) epoll->Run();
    });

    for (;;) {
        kest::halink::ThreadAlive(30);
        sleep(1);
    }
}
