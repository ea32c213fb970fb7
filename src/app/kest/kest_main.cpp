// Process entry: start-up, the reactor on its one worker thread, and the one-second liveness loop
// on the main thread; or, with --check-config, the checks alone.
#include <unistd.h>

#include <exception>
#include <list>
#include <thread>

#include "event_loop/Epoll.h"
#include "kest_check_config.h"
#include "kest_db_selecter.h"
#include "kest_folder_health.h"
#include "kest_ha_link.h"
#include "kest_manager.h"
#include "kest_status.h"

int main(int argc, char **argv) {
    kest::KestManager *pm = kest::KestManager::getInstance();
    try {
        pm->readSettings(argc, argv);
    } catch (const std::exception &e) {
        if (pm->checkConfig) return kest::CheckConfig(*pm, e.what());
        kest::KestManager::Fatal(e.what());
    }
    if (pm->checkConfig) return kest::CheckConfig(*pm, nullptr);
    try {
        pm->start();
    } catch (const std::exception &e) {
        // The HA library's threads may already run: no exit handlers under them.
        kest::KestManager::Fatal(e.what());
    }
    pm->log().info("============ START KEST %s =============\n", KEST_VERSION);
    for (const std::string &note : pm->notes()) pm->log().critical("[CONF] %s\n", note.c_str());
    // From here the status file is this process's: its log folder is there, its lock held.
    kest::ProcessStatus().start();

    std::list<std::thread> workers;
    auto *epoll = new EventCLoop::Epoll();             // lives as long as the process
    auto *folders = new kest::FolderHealth(*epoll);    // lives as long as the process
    auto *selecter = new kest::DbSelecter(*epoll);
    folders->start();
    try {
        selecter->run();
    } catch (const std::exception &e) {
        pm->log().critical("%s\n", e.what());
        kest::KestManager::Fatal(e.what());
    }

    workers.emplace_back([epoll] {
        for (;;) epoll->Run();
    });

    for (;;) {
        kest::halink::ThreadAlive(30);
        kest::KestManager::PassOnContinue();
        sleep(1);
    }
}
