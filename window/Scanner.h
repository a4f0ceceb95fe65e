// The scan's worker thread: one per scan, running ScanDrive on the window's
// side of the scan.
#pragma once

#include <QThread>

#include "volume/Salvane.h"

class TScanner : public QThread {
    Q_OBJECT

public:
    explicit TScanner(deruzera::TScanHost& host, QObject* parent = nullptr);
    // Asks a running scan to stop and waits for it.
    ~TScanner() override;

protected:
    void run() override;

private:
    deruzera::TScanHost& host_;
};
