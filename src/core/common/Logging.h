#pragma once

#include <QLoggingCategory>

// One logging category per subsystem of the core. Debug lines are off by
// default; QT_LOGGING_RULES="tessaron.*.debug=true" turns them on.
Q_DECLARE_LOGGING_CATEGORY(lcAsync) // "tessaron.async": coroutines, executors, shutdown
Q_DECLARE_LOGGING_CATEGORY(lcProcess) // "tessaron.process": child processes
Q_DECLARE_LOGGING_CATEGORY(lcStorage) // "tessaron.storage": task database, watchers, stores
Q_DECLARE_LOGGING_CATEGORY(lcState) // "tessaron.state": the application state
Q_DECLARE_LOGGING_CATEGORY(lcAgents) // "tessaron.agents": worker pool, engine, runner
Q_DECLARE_LOGGING_CATEGORY(lcAgentTools) // "tessaron.agenttools": health checks, usage
Q_DECLARE_LOGGING_CATEGORY(lcBoard) // "tessaron.board": board stores and models
Q_DECLARE_LOGGING_CATEGORY(lcCloud) // "tessaron.cloud": backend client, sign-in, sync
Q_DECLARE_LOGGING_CATEGORY(lcNode) // "tessaron.node": local viewer server
