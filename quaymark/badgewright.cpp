// badgewright: the GitLab badge client. Adds a project's version, coverage and code-quality
// badges and points their images at fresh values through GitLab's REST API v4.
#include "runtime.hpp"

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

/// The page named by the reply's X-Next-Page header when it lies after `current`, else 0.
long next_page(py::handle response, long current) {
    py::object headers = py::getattr(response, "headers", py::none());
    if (headers.is_none() || !py::hasattr(headers, "get")) return 0;
    py::object value = headers.attr("get"_id)("X-Next-Page");
    if (!py::isinstance<py::str>(value)) return 0;
    // As int() reads it: blanks around the digits are allowed.
    std::string text = value.cast<std::string>();
    const auto first = text.find_first_not_of(" \t\n\r\f\v");
    if (first == std::string::npos) return 0;
    text = text.substr(first, text.find_last_not_of(" \t\n\r\f\v") - first + 1);
    if (text[0] == '+') text.erase(0, 1);
    if (text.empty() || text.size() > 9) return 0;
    for (char c : text)
        if (c < '0' || c > '9') return 0;
    const long page = std::stol(text);
    return page > current ? page : 0;
}

/// Runs `find` on the decoded first reply, then on later pages while it finds nothing
/// (raises IndexError). `fetch(page)` requests one more page.
template <typename Find, typename Fetch>
py::object search_pages(py::object response, Find find, Fetch fetch) {
    long current = 1;
    while (true) {
        try {
            return find(call_method(response, "json"_id));
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_IndexError)) throw;
            const long page = next_page(response, current);
            if (!page) throw;
            current = page;
        }
        response = fetch(current);
        call_method(response, "raise_for_status"_id);
    }
}

/* The access token **********************************************************************/

// requests and http.client quote an invalid header value in their errors, and a UnicodeError
// keeps the text it failed on; the token must never leave in an exception, so every exception
// leaving a method has it masked where it carries the token's value: an argument that is
// the token, a quoted token (repr() of a str or bytes is distinctive), or, for a token of
// another type, requests' refusal of it. Messages that never held the token stay as they are.

void mask_token(const py::error_already_set& e, py::handle self) {
    try {
        py::object token = self.attr("header"_id)["PRIVATE-TOKEN"];
        if (token.is_none()) return;
        const py::str quoted = py::repr(token);
        const bool distinctive = py::isinstance<py::str>(token) || py::isinstance<py::bytes>(token);
        const bool refused = PyErr_GivenExceptionMatches(
            e.type().ptr(),
            py::module_::import("requests").attr("exceptions").attr("InvalidHeader").ptr());
        if (!distinctive && !refused) return;
        auto is_token = [&](py::handle value) {
            return Py_TYPE(value.ptr()) == Py_TYPE(token.ptr()) &&
                   PyObject_RichCompareBool(value.ptr(), token.ptr(), Py_EQ) == 1;
        };
        py::list args;
        bool changed = false;
        for (py::handle arg : e.value().attr("args"_id)) {
            // Plain containment: the helpers would move the line a traceback reports.
            if (is_token(arg)) {
                args.append(py::str("****"));
                changed = true;
            } else if (py::isinstance<py::str>(arg) &&
                       PySequence_Contains(arg.ptr(), quoted.ptr()) == 1) {
                args.append(arg.attr("replace"_id)(quoted, "****"));
                changed = true;
            } else {
                args.append(arg);
            }
        }
        if (changed) e.value().attr("args"_id) = py::tuple(args);
        py::object text = py::getattr(e.value(), "object", py::none());
        if (!text.is_none() && is_token(text))
            e.value().attr("object") = py::isinstance<py::bytes>(text) ? py::object(py::bytes("****"))
                                                                       : py::object(py::str("****"));
    } catch (py::error_already_set&) {
        // An object without a usable token has nothing to mask.
    }
}

template <auto F, typename... Args>
py::object masking_token(py::handle self, Args... args) {
    try {
        return F(self, args...);
    } catch (py::error_already_set& e) {
        mask_token(e, self);
        throw;
    }
}

/* class Badgewright *******************************************************************/

py::object Badgewright___init__(py::handle self, py::handle url, py::handle project_id,
                                py::handle pipeline_id, py::handle api_token,
                                py::handle version, py::handle qa) {
    set_attr(self, "pipeline_id"_id, pipeline_id);
    set_attr(self, "version"_id, version);
    set_attr(self, "qa_value"_id, qa);
    set_attr(self, "base_url"_id, url);
    set_attr(self, "api_url"_id,
             fstr({attr(self, "base_url"_id), "/api/v4/projects/"_id, project_id}));
    set_attr(self, "header"_id, make_dict({{"PRIVATE-TOKEN"_id, api_token}}));
    return py::none();
}

py::object Badgewright__filter_badge_id(py::handle payload, py::handle badge_type) {
    py::list matches;
    for (py::handle badge : payload)
        if (contains(badge["image_url"_id], badge_type)) matches.append(badge);
    return item(matches, 0)["id"_id];
}

/// The id of the badge whose image shows `badge_name`, searching every page of the list.
py::object find_badge_id(py::handle self, py::handle badge_name) {
    py::str url = fstr({attr(self, "api_url"_id), "/badges"_id});
    py::object response = call_method(global("requests"_id), "get"_id, url,
                                      kw("headers"_id, attr(self, "header"_id)));
    call_method(response, "raise_for_status"_id);
    return search_pages(
        response,
        [&](py::handle payload) {
            return call_method(self, "_filter_badge_id"_id, payload, badge_name);
        },
        [&](long page) {
            return call_method(global("requests"_id), "get"_id, url,
                               kw("headers"_id, attr(self, "header"_id)),
                               kw("params"_id, make_dict({{"page"_id, py::int_(page)}})));
        });
}

/// PUTs a new image on the badge; its link stays as it is.
void put_badge_image(py::handle self, py::handle badge_id, py::handle image_url) {
    py::object response = call_method(
        global("requests"_id), "put"_id, fstr({attr(self, "api_url"_id), "/badges/"_id, badge_id}),
        kw("headers"_id, attr(self, "header"_id)),
        kw("data"_id, make_dict({{"image_url"_id, image_url}})));
    call_method(response, "raise_for_status"_id);
}

py::object Badgewright_create_badges_for_project(py::handle self) {
    py::dict data = make_dict({{"link_url"_id, add(attr(self, "base_url"_id),
                                                   "/%{project_path}/%{project_id}"_id)},
                               {"image_url"_id, ""_id}});
    py::list urls;
    urls.append(call_method(self, "qa_badge_image_url"_id));
    urls.append(call_method(self, "coverage_badge_image_url"_id, py::int_(0)));
    urls.append(call_method(self, "version_badge_image_url"_id));
    for (py::handle url : urls) {
        call_method(data, "update"_id, make_dict({{"image_url"_id, url}}));
        py::object response = call_method(global("requests"_id), "post"_id,
                                          fstr({attr(self, "api_url"_id), "/badges"_id}),
                                          kw("headers"_id, attr(self, "header"_id)),
                                          kw("data"_id, data));
        call_method(response, "raise_for_status"_id);
    }
    return py::none();
}

py::object Badgewright_update_coverage_badge(py::handle self, py::handle test_job_name) {
    py::object badge_id = find_badge_id(self, global("COVERAGE_BADGE_NAME"_id));
    py::object coverage = call_method(self, "get_coverage_value"_id, test_job_name);
    py::object image_url = call_method(self, "coverage_badge_image_url"_id, coverage);
    put_badge_image(self, badge_id, image_url);
    return py::none();
}

py::object Badgewright_update_quality_badge(py::handle self) {
    py::object badge_id = find_badge_id(self, global("QA_BADGE_NAME"_id));
    py::object image_url = call_method(self, "qa_badge_image_url"_id);
    put_badge_image(self, badge_id, image_url);
    return py::none();
}

py::object Badgewright_update_version_badge(py::handle self) {
    py::object badge_id = find_badge_id(self, global("VERSION_BADGE_NAME"_id));
    py::object image_url = call_method(self, "version_badge_image_url"_id);
    put_badge_image(self, badge_id, image_url);
    return py::none();
}

py::object Badgewright_get_coverage_value(py::handle self, py::handle job_name) {
    py::str url = fstr({attr(self, "api_url"_id), "/pipelines/"_id, attr(self, "pipeline_id"_id),
                        "/jobs"_id});
    py::object response = call_method(global("requests"_id), "get"_id, url,
                                      kw("params"_id, make_dict({{"scope"_id, "success"_id}})),
                                      kw("headers"_id, attr(self, "header"_id)));
    call_method(response, "raise_for_status"_id);
    auto first_match = [&](py::handle jobs) {
        py::list matches;
        for (py::handle job : jobs)
            if (contains(job["name"_id], job_name)) matches.append(job);
        return py::object(item(matches, 0)["coverage"_id]);
    };
    return search_pages(response, first_match, [&](long page) {
        return call_method(
            global("requests"_id), "get"_id, url,
            kw("params"_id, make_dict({{"scope"_id, "success"_id}, {"page"_id, py::int_(page)}})),
            kw("headers"_id, attr(self, "header"_id)));
    });
}

py::object Badgewright_coverage_badge_image_url(py::handle coverage_value) {
    py::handle color;
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

py::object Badgewright_qa_badge_image_url(py::handle self) {
    py::handle color;
    if (eq(attr(self, "qa_value"_id), global("DEFAULT_QA"_id)))
        color = "red"_id;
    else if (double score = to_float(attr(self, "qa_value"_id)); score <= 5.0)
        color = "red"_id;
    else if (score = to_float(attr(self, "qa_value"_id)); 5.0 < score && score <= 6.0)
        color = "yellow"_id;
    else if (score = to_float(attr(self, "qa_value"_id)); 6.0 < score && score <= 7.0)
        color = "green"_id;
    else
        color = "brightgreen"_id;
    return fstr({text<BADGE_BASE>(), global("QA_BADGE_NAME"_id), "-"_id, attr(self, "qa_value"_id),
                 "/10-"_id, color});
}

py::object Badgewright_version_badge_image_url(py::handle self) {
    return fstr({text<BADGE_BASE>(), global("VERSION_BADGE_NAME"_id), "-"_id,
                 attr(self, "version"_id), "-informational"_id});
}

/* module body *************************************************************************/

void body() {
    import("logging");
    import("sys");
    import("requests");
    global("logging").attr("basicConfig"_id)("stream"_a = global("sys").attr("stdout"_id),
                                          "level"_a = global("logging").attr("INFO"_id));
    set_global("log", global("logging").attr("getLogger"_id)(global("__name__")));

    set_global("DEFAULT_QA", py::str("NA"));
    set_global("DEFAULT_VERSION", py::str("0.1.0"));
    set_global("COVERAGE_BADGE_NAME", py::str("Coverage"));
    set_global("QA_BADGE_NAME", py::str("Code Quality"));
    set_global("VERSION_BADGE_NAME", py::str("Version"));

    make_class("Badgewright", {
        {"__init__",
         def<Badgewright___init__>(
             "Badgewright.__init__",
             {"self", "url", "project_id", "pipeline_id", "api_token", "version", "qa"},
             {.defaults = py::make_tuple(global("DEFAULT_VERSION"), global("DEFAULT_QA"))})},
        {"_filter_badge_id",
         staticmethod(def<Badgewright__filter_badge_id>("Badgewright._filter_badge_id",
                                                         {"payload", "badge_type"}))},
        {"create_badges_for_project",
         def<masking_token<Badgewright_create_badges_for_project>>("Badgewright.create_badges_for_project",
                                                    {"self"}, {.doc = CREATE_BADGES_DOC})},
        {"update_coverage_badge",
         def<masking_token<Badgewright_update_coverage_badge, py::handle>>("Badgewright.update_coverage_badge",
                                                {"self", "test_job_name"},
                                                {.doc = UPDATE_COVERAGE_DOC})},
        {"update_quality_badge",
         def<masking_token<Badgewright_update_quality_badge>>("Badgewright.update_quality_badge", {"self"},
                                               {.doc = UPDATE_QUALITY_DOC})},
        {"update_version_badge",
         def<masking_token<Badgewright_update_version_badge>>("Badgewright.update_version_badge", {"self"},
                                               {.doc = UPDATE_VERSION_DOC})},
        {"get_coverage_value",
         def<masking_token<Badgewright_get_coverage_value, py::handle>>("Badgewright.get_coverage_value",
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
