// Runs a step of a scan or a pass and turns what escapes it into the
// outcome's end: memory running out, or any other failure with its text.
#pragma once

#include <exception>
#include <new>

#include "Scan.h"

namespace deruzera {

// `Outcome` has End (a TScanEnd) and What (a string).
template <class Outcome, class Step>
void Guarded(Outcome& outcome, Step&& step) {
    try {
        step();
    } catch (const std::bad_alloc&) {
        outcome.End = TScanEnd::OutOfMemory;
    } catch (const std::exception& failure) {
        outcome.End = TScanEnd::Failed;
        outcome.What = failure.what();
    } catch (...) {
        outcome.End = TScanEnd::Failed;
    }
}

}  // namespace deruzera
