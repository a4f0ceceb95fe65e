#include "Scanner.h"

TScanner::TScanner(deruzera::TScanHost& host, QObject* parent) : QThread(parent), host_(host) {}

TScanner::~TScanner() {
    if (isRunning()) {
        host_.AbortRequested = true;
        wait();
    }
}

void TScanner::run() {
    // A failure that escapes the scan ends the worker without a message; the
    // window's end handler runs all the same.
    try {
        deruzera::ScanDrive(host_);
    } catch (...) {
    }
}
