#include "Logging.h"

Q_LOGGING_CATEGORY(lcAsync, "tessaron.async", QtInfoMsg)
Q_LOGGING_CATEGORY(lcProcess, "tessaron.process", QtInfoMsg)
Q_LOGGING_CATEGORY(lcStorage, "tessaron.storage", QtInfoMsg)
Q_LOGGING_CATEGORY(lcState, "tessaron.state", QtInfoMsg)
Q_LOGGING_CATEGORY(lcAgents, "tessaron.agents", QtInfoMsg)
Q_LOGGING_CATEGORY(lcAgentTools, "tessaron.agenttools", QtInfoMsg)
Q_LOGGING_CATEGORY(lcBoard, "tessaron.board", QtInfoMsg)
Q_LOGGING_CATEGORY(lcCloud, "tessaron.cloud", QtInfoMsg)
Q_LOGGING_CATEGORY(lcNode, "tessaron.node", QtInfoMsg)
