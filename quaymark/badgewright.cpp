// badgewright: the GitLab badge client. Adds a project's version, coverage and code-quality
// badges and points their images at fresh values through GitLab's REST API v4.
#include "qm/runtime.hpp"

namespace {

using namespace qm;

// Static badges of the badge service: /badge/<label>-<value>-<colour>.
constexpr Literal BADGE_BASE = "https://img.shields.io/badge/";

constexpr const char* UPDATE_COVERAGE_DOC = " Entry point for coverage badge ";
constexpr const char* UPDATE_QUALITY_DOC = " Entry point for quality badge ";
constexpr const char* UPDATE_VERSION_DOC = " Entry point for version badge ";
constexpr const char* CREATE_BADGES_DOC =
    " Endpoint to initialize a gitlab project with the main badges";
constexpr const char* GET_COVERAGE_DOC = R"(
        Auxiliary method to retrieve latest coverage value from the current pipeline

        Args:
            job_name (str): Name of the job in which the coverage value should be found

        Returns:
            coverage_value (int): Coverage reported by the first matching successful job
        )";
constexpr const char* COVERAGE_URL_DOC = R"(
        Customizes the coverage badge url for the badge service

        Colour bands of coverage_value:
            [0, 30] = red; (30, 50] = yellow; (50, 70] = green; (70, 100] = brightgreen

        Args:
            coverage_value (int): Coverage in the range 0 to 100

        Returns:
            str: the url of the badge image
        )";
constexpr const char* QA_URL_DOC = R"(
        Customizes the code quality badge url for the badge service

        Colour bands of the quality score:
            NA = red; [0, 5] = red; (5, 6] = yellow; (6, 7] = green; (7, 10] = brightgreen

        Returns:
            str: the url of the badge image
        )";
constexpr const char* VERSION_URL_DOC = R"(
        Customizes the version badge url for the badge service

        Returns:
            str: the url of the badge image
        )";

/* Paging ******************************************************************************/

// GitLab pages its lists (20 entries by default). A page without a match sends us to the
// next one while the reply names a later page in X-Next-Page.

/// The page that the reply's X-Next-Page header names when it lies after `current`, else 0.
/// The value counts when, stripped, it is ASCII decimal digits only.
Object next_page(Handle response, Handle current) {
    Object headers = global("getattr"_id)({response, "headers"_id, none()});
    if (headers.is_none() || !truth(global("hasattr"_id)({headers, "get"_id})))
        return integer(0);
    Object value = method(headers, "get"_id)({"X-Next-Page"_id});
    if (!truth(global("isinstance"_id)({value, global("str"_id)}))) return integer(0);
    value = method(value, "strip"_id)({});
    if (!(truth(method(value, "isascii"_id)({})) && truth(method(value, "isdecimal"_id)({}))))
        return integer(0);
    Object page = global("int"_id)({value});
    return gt(page, current) ? page : integer(0);
}

/// `search(response)` on the first reply, then on each later page while it finds nothing
/// (IndexError) and the reply names a next page; `fetch(page)` requests a page.
template <typename Search, typename Fetch>
Object search_pages(Object response, Search search, Fetch fetch) {
    Object current = integer(1);
    while (true) {
        try {
            return search(response);
        } catch (Error& caught) {
            if (!matches(caught, global("IndexError"_id))) throw;
            Handling handling(caught);
            Object page = next_page(response, current);
            if (!truth(page)) handling.reraise();
            current = page;
        }
        response = fetch(current);
        method(response, "raise_for_status"_id)({});
    }
}

/* The access token ********************************************************************/

// The access token never leaves in an exception. requests and http.client quote an invalid
// header value in their errors, and a UnicodeError keeps the text it failed on: where an
// exception carries the token's value (an argument that is the token, a quoted token, which
// repr() of a str or bytes makes distinctive, or, for a token of another type, requests'
// refusal of it), the token is replaced. Messages that never held it stay as they are.

bool is_token(Handle value, Handle token) {
    Object value_type = global("type"_id)({value});
    Object token_type = global("type"_id)({token});
    return value_type.is(token_type) && eq(value, token);
}

/// Replaces the access token of `client` wherever `error` carries it.
void mask_token(Handle error, Handle client) {
    try {
        Object token = item(attr(client, "header"_id), "PRIVATE-TOKEN"_id);
        if (token.is_none()) return;
        Object quoted = global("repr"_id)({token});
        const bool distinctive = truth(global("isinstance"_id)(
            {token, make_tuple({global("str"_id), global("bytes"_id)})}));
        const bool refused = truth(global("isinstance"_id)(
            {error, attr(attr(global("requests"_id), "exceptions"_id), "InvalidHeader"_id)}));
        if (!distinctive && !refused) return;
        Object args = make_list({});
        bool changed = false;
        for (const Object& arg : iterate(attr(error, "args"_id))) {
            if (is_token(arg, token)) {
                list_append(args, "****"_id);
                changed = true;
            } else if (truth(global("isinstance"_id)({arg, global("str"_id)})) &&
                       contains(arg, quoted)) {
                list_append(args, method(arg, "replace"_id)({quoted, "****"_id}));
                changed = true;
            } else {
                list_append(args, arg);
            }
        }
        if (changed) set_attr(error, "args"_id, global("tuple"_id)({args}));
        Object text = global("getattr"_id)({error, "object"_id, none()});
        if (!text.is_none() && is_token(text, token)) {
            Object masked = truth(global("isinstance"_id)({text, global("bytes"_id)}))
                                ? byte_string("****")
                                : Object("****"_id);
            set_attr(error, "object"_id, masked);
        }
    } catch (Error& caught) {
        if (!matches(caught, global("Exception"_id))) throw;
        // An object without a usable token has nothing to mask.
    }
}

/// `try: <body> except BaseException as error: mask_token(error, self); raise`
template <typename Body>
Object masking_token(Handle self, Body body) {
    try {
        return body();
    } catch (Error& caught) {
        if (!matches(caught, global("BaseException"_id))) throw;
        Handling handling(caught);
        mask_token(handling.exception(), self);
        handling.reraise();
    }
}

/* class Badgewright *******************************************************************/

Object Badgewright___init__(Handle self, Handle url, Handle project_id, Handle pipeline_id,
                            Handle api_token, Handle version, Handle qa) {
    set_attr(self, "pipeline_id"_id, pipeline_id);
    set_attr(self, "version"_id, version);
    set_attr(self, "qa_value"_id, qa);
    set_attr(self, "base_url"_id, url);
    set_attr(self, "api_url"_id,
             fstr({attr(self, "base_url"_id), "/api/v4/projects/"_id, project_id}));
    set_attr(self, "header"_id, make_dict({{"PRIVATE-TOKEN"_id, api_token}}));
    return none();
}

Object Badgewright__filter_badge_id(Handle payload, Handle badge_type) {
    Object matches = make_list({});
    for (const Object& badge : iterate(payload))
        if (contains(item(badge, "image_url"_id), badge_type)) list_append(matches, badge);
    return item(item(matches, 0), "id"_id);
}

/// The update of one badge: the badge whose image shows `badge_name` (a global, read once
/// the first reply is in), a new image from `image_url(self)`, and the PUT of it.
template <const Name& (*BadgeName)(), typename ImageUrl>
Object update_badge(Handle self, ImageUrl image_url) {
    return masking_token(self, [&] {
        Object get = attr(global("requests"_id), "get"_id);
        Object response = get({fstr({attr(self, "api_url"_id), "/badges"_id}),
                               kw("headers"_id, attr(self, "header"_id))});
        method(response, "raise_for_status"_id)({});
        Object badge_id = search_pages(
            response,
            [&](Handle reply) {
                return method(self, "_filter_badge_id"_id)(
                    {method(reply, "json"_id)({}), global(BadgeName())});
            },
            [&](Handle page) {
                return attr(global("requests"_id), "get"_id)(
                    {fstr({attr(self, "api_url"_id), "/badges"_id}),
                     kw("headers"_id, attr(self, "header"_id)),
                     kw("params"_id, make_dict({{"page"_id, page}}))});
            });
        Object url = image_url();
        Object put = attr(global("requests"_id), "put"_id);
        response = put({fstr({attr(self, "api_url"_id), "/badges/"_id, badge_id}),
                        kw("headers"_id, attr(self, "header"_id)),
                        kw("data"_id, make_dict({{"image_url"_id, url}}))});
        method(response, "raise_for_status"_id)({});
        return none();
    });
}

const Name& coverage_badge_name() { return "COVERAGE_BADGE_NAME"_id; }
const Name& quality_badge_name() { return "QA_BADGE_NAME"_id; }
const Name& version_badge_name() { return "VERSION_BADGE_NAME"_id; }

Object Badgewright_create_badges_for_project(Handle self) {
    return masking_token(self, [&] {
        Object data = make_dict({{"link_url"_id, add(attr(self, "base_url"_id),
                                                     "/%{project_path}/%{project_id}"_id)},
                                 {"image_url"_id, ""_id}});
        Object urls = make_list({method(self, "qa_badge_image_url"_id)({}),
                                 method(self, "coverage_badge_image_url"_id)({integer(0)}),
                                 method(self, "version_badge_image_url"_id)({})});
        for (const Object& url : iterate(urls)) {
            method(data, "update"_id)({make_dict({{"image_url"_id, url}})});
            Object post = attr(global("requests"_id), "post"_id);
            Object response = post({fstr({attr(self, "api_url"_id), "/badges"_id}),
                                    kw("headers"_id, attr(self, "header"_id)),
                                    kw("data"_id, data)});
            method(response, "raise_for_status"_id)({});
        }
        return none();
    });
}

Object Badgewright_update_coverage_badge(Handle self, Handle test_job_name) {
    return update_badge<coverage_badge_name>(self, [&] {
        Object coverage = method(self, "get_coverage_value"_id)({test_job_name});
        return method(self, "coverage_badge_image_url"_id)({coverage});
    });
}

Object Badgewright_update_quality_badge(Handle self) {
    return update_badge<quality_badge_name>(
        self, [&] { return method(self, "qa_badge_image_url"_id)({}); });
}

Object Badgewright_update_version_badge(Handle self) {
    return update_badge<version_badge_name>(
        self, [&] { return method(self, "version_badge_image_url"_id)({}); });
}

Object Badgewright_get_coverage_value(Handle self, Handle job_name) {
    return masking_token(self, [&] {
        Object get = attr(global("requests"_id), "get"_id);
        Object response = get({fstr({attr(self, "api_url"_id), "/pipelines/"_id,
                                     attr(self, "pipeline_id"_id), "/jobs"_id}),
                               kw("params"_id, make_dict({{"scope"_id, "success"_id}})),
                               kw("headers"_id, attr(self, "header"_id))});
        method(response, "raise_for_status"_id)({});
        return search_pages(
            response,
            [&](Handle reply) {
                Object jobs = make_list({});
                for (const Object& job : iterate(method(reply, "json"_id)({})))
                    if (contains(item(job, "name"_id), job_name)) list_append(jobs, job);
                return item(item(jobs, 0), "coverage"_id);
            },
            [&](Handle page) {
                return attr(global("requests"_id), "get"_id)(
                    {fstr({attr(self, "api_url"_id), "/pipelines/"_id,
                           attr(self, "pipeline_id"_id), "/jobs"_id}),
                     kw("params"_id, make_dict({{"scope"_id, "success"_id}, {"page"_id, page}})),
                     kw("headers"_id, attr(self, "header"_id))});
            });
    });
}

Object Badgewright_coverage_badge_image_url(Handle coverage_value) {
    Handle color;
    if (le(coverage_value, 30))
        color = "red"_id;
    else if (lt(30, coverage_value) && le(coverage_value, 50))
        color = "yellow"_id;
    else if (lt(50, coverage_value) && le(coverage_value, 70))
        color = "green"_id;
    else
        color = "brightgreen"_id;
    return fstr({text<BADGE_BASE>(), global("COVERAGE_BADGE_NAME"_id), "-"_id, coverage_value,
                 "-"_id, color});
}

Object Badgewright_qa_badge_image_url(Handle self) {
    Handle color;
    if (Object qa_value = attr(self, "qa_value"_id); eq(qa_value, global("DEFAULT_QA"_id)))
        color = "red"_id;
    else if (le(global("float"_id)({attr(self, "qa_value"_id)}), 5.0))
        color = "red"_id;
    else if (Object score = global("float"_id)({attr(self, "qa_value"_id)});
             lt(5.0, score) && le(score, 6.0))
        color = "yellow"_id;
    else if (score = global("float"_id)({attr(self, "qa_value"_id)}); lt(6.0, score) && le(score, 7.0))
        color = "green"_id;
    else
        color = "brightgreen"_id;
    return fstr({text<BADGE_BASE>(), global("QA_BADGE_NAME"_id), "-"_id, attr(self, "qa_value"_id),
                 "/10-"_id, color});
}

Object Badgewright_version_badge_image_url(Handle self) {
    return fstr({text<BADGE_BASE>(), global("VERSION_BADGE_NAME"_id), "-"_id,
                 attr(self, "version"_id), "-informational"_id});
}

/* module body *************************************************************************/

void body() {
    import("logging"_id);
    import("sys"_id);
    import("requests"_id);
    {
        Object basic_config = attr(global("logging"_id), "basicConfig"_id);
        basic_config({kw("stream"_id, attr(global("sys"_id), "stdout"_id)),
                      kw("level"_id, attr(global("logging"_id), "INFO"_id))});
    }
    set_global("log"_id, attr(global("logging"_id), "getLogger"_id)({global("__name__"_id)}));

    set_global("DEFAULT_QA"_id, "NA"_id);
    set_global("DEFAULT_VERSION"_id, "0.1.0"_id);
    set_global("COVERAGE_BADGE_NAME"_id, "Coverage"_id);
    set_global("QA_BADGE_NAME"_id, "Code Quality"_id);
    set_global("VERSION_BADGE_NAME"_id, "Version"_id);

    make_class("Badgewright", {
        {"__init__",
         def<Badgewright___init__>(
             "Badgewright.__init__",
             {"self", "url", "project_id", "pipeline_id", "api_token", "version", "qa"},
             {.defaults = make_tuple({global("DEFAULT_VERSION"_id), global("DEFAULT_QA"_id)})})},
        {"_filter_badge_id",
         staticmethod(def<Badgewright__filter_badge_id>("Badgewright._filter_badge_id",
                                                         {"payload", "badge_type"}))},
        {"create_badges_for_project",
         def<Badgewright_create_badges_for_project>("Badgewright.create_badges_for_project",
                                                    {"self"}, {.doc = CREATE_BADGES_DOC})},
        {"update_coverage_badge",
         def<Badgewright_update_coverage_badge>("Badgewright.update_coverage_badge",
                                                {"self", "test_job_name"},
                                                {.doc = UPDATE_COVERAGE_DOC})},
        {"update_quality_badge",
         def<Badgewright_update_quality_badge>("Badgewright.update_quality_badge", {"self"},
                                               {.doc = UPDATE_QUALITY_DOC})},
        {"update_version_badge",
         def<Badgewright_update_version_badge>("Badgewright.update_version_badge", {"self"},
                                               {.doc = UPDATE_VERSION_DOC})},
        {"get_coverage_value",
         def<Badgewright_get_coverage_value>("Badgewright.get_coverage_value",
                                             {"self", "job_name"}, {.doc = GET_COVERAGE_DOC})},
        {"coverage_badge_image_url",
         staticmethod(def<Badgewright_coverage_badge_image_url>(
             "Badgewright.coverage_badge_image_url", {"coverage_value"},
             {.doc = COVERAGE_URL_DOC}))},
        {"qa_badge_image_url",
         def<Badgewright_qa_badge_image_url>("Badgewright.qa_badge_image_url", {"self"},
                                             {.doc = QA_URL_DOC})},
        {"version_badge_image_url",
         def<Badgewright_version_badge_image_url>("Badgewright.version_badge_image_url",
                                                  {"self"}, {.doc = VERSION_URL_DOC})},
    });
}

}  // namespace

QM_MODULE(badgewright, body)
