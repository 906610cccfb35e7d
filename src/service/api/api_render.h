// The answers of the operator API as text: the Prometheus exposition and the JSON documents.
#pragma once

#include <string>
#include <vector>

#include "service/api/api_view.h"

// The text exposition format 0.0.4, every metric with HELP and TYPE, routers labelled
// router="a.b.c.d",port="N".
std::string RenderMetrics(const ServiceView& view);
// A JSON array of router objects, and one router object.
std::string RenderRouters(const std::vector<RouterView>& routers);
std::string RenderRouter(const RouterView& router);
// A JSON array of {"class","line","copies"}.
std::string RenderLines(const std::vector<LineView>& lines);
// The JSON summary of /status.
std::string RenderStatus(const ServiceView& view);
// A Prometheus label value with backslash, double quote and line feed escaped.
std::string EscapeLabelValue(const std::string& value);
