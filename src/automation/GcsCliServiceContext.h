#pragma once
// What the CLI endpoint hands to the command router: the application, from which the router
// reaches the app controller, and the endpoint's memory of earlier requests (may be absent).

class GcsApplication;
class GcsCliOutcomeRecorder;

struct GcsCliServiceContext {
    GcsApplication* app = nullptr;
    GcsCliOutcomeRecorder* outcomes = nullptr;
};
