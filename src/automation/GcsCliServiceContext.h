#pragma once
// What the CLI endpoint hands to the command router: the application, from which the router
// reaches the app controller.

class GcsApplication;

struct GcsCliServiceContext {
    GcsApplication* app = nullptr;
};
