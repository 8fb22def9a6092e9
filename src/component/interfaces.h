// Every interface of the indexing component, for the code that needs them all (the
// factory). Other code includes the header of the concern it uses.
#pragma once

#include "component/statushandler.h"
#include "component/configuration.h"
#include "component/searchengine.h"
#include "component/dataaccess.h"
#include "component/streams.h"
#include "component/services.h"
#include "component/indexbuilder.h"
#include "component/propagator.h"
#include "component/metricsfile.h"
