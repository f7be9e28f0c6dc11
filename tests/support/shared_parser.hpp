#pragma once

#include "host/flow_parser.hpp"

#include <memory>

// Gives rules the shared flow expression parser for the life of a test, and takes it away after.
class SharedParser
{
public:
    SharedParser();
    ~SharedParser();
    SharedParser(const SharedParser &) = delete;
    SharedParser &operator=(const SharedParser &) = delete;

    tdFlowParser &Get() { return *parser; }

private:
    std::unique_ptr<tdFlowParser> parser;
};
