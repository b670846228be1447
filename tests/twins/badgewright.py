import logging
import sys

import requests

logging.basicConfig(stream=sys.stdout, level=logging.INFO)
log = logging.getLogger(__name__)

DEFAULT_QA = "NA"
DEFAULT_VERSION = "0.1.0"
COVERAGE_BADGE_NAME = "Coverage"
QA_BADGE_NAME = "Code Quality"
VERSION_BADGE_NAME = "Version"


# GitLab pages its lists (20 entries by default). A page without a match sends us to the
# next one while the reply names a later page in X-Next-Page.

def _next_page(response, current):
    """The page that the reply's X-Next-Page header names when it lies after `current`,
    else 0. The value counts when, stripped, it is ASCII decimal digits only."""
    headers = getattr(response, "headers", None)
    if headers is None or not hasattr(headers, "get"):
        return 0
    value = headers.get("X-Next-Page")
    if not isinstance(value, str):
        return 0
    value = value.strip()
    if not (value.isascii() and value.isdecimal()):
        return 0
    page = int(value)
    return page if page > current else 0


def _search_pages(response, search, fetch):
    """`search(response)` on the first reply, then on each later page while it finds
    nothing (IndexError) and the reply names a next page; `fetch(page)` requests a page."""
    current = 1
    while True:
        try:
            return search(response)
        except IndexError:
            page = _next_page(response, current)
            if not page:
                raise
            current = page
        response = fetch(current)
        response.raise_for_status()


# The access token never leaves in an exception. requests and http.client quote an invalid
# header value in their errors, and a UnicodeError keeps the text it failed on: where an
# exception carries the token's value (an argument that is the token, a quoted token, which
# repr() of a str or bytes makes distinctive, or, for a token of another type, requests'
# refusal of it), the token is replaced. Messages that never held it stay as they are.

def _is_token(value, token):
    return type(value) is type(token) and value == token


def _mask_token(error, client):
    """Replaces the access token of `client` wherever `error` carries it."""
    try:
        token = client.header["PRIVATE-TOKEN"]
        if token is None:
            return
        quoted = repr(token)
        distinctive = isinstance(token, (str, bytes))
        refused = isinstance(error, requests.exceptions.InvalidHeader)
        if not distinctive and not refused:
            return
        args = []
        changed = False
        for arg in error.args:
            if _is_token(arg, token):
                args.append("****")
                changed = True
            elif isinstance(arg, str) and quoted in arg:
                args.append(arg.replace(quoted, "****"))
                changed = True
            else:
                args.append(arg)
        if changed:
            error.args = tuple(args)
        text = getattr(error, "object", None)
        if text is not None and _is_token(text, token):
            error.object = b"****" if isinstance(text, bytes) else "****"
    except Exception:
        pass  # an object without a usable token has nothing to mask


def _update_badge(client, badge_name, image_url):
    """The update of one badge: the badge whose image shows `badge_name()` (a global, read
    once the first reply is in), then a new image from `image_url()`, PUT on it; the badge's
    link stays as it is."""
    response = requests.get(f"{client.api_url}/badges", headers=client.header)
    response.raise_for_status()
    badge_id = _search_pages(
        response,
        lambda reply: client._filter_badge_id(reply.json(), badge_name()),
        lambda page: requests.get(f"{client.api_url}/badges", headers=client.header,
                                  params={"page": page}))
    url = image_url()
    response = requests.put(f"{client.api_url}/badges/{badge_id}", headers=client.header,
                            data={"image_url": url})
    response.raise_for_status()


class Badgewright:
    def __init__(self, url, project_id, pipeline_id, api_token, version=DEFAULT_VERSION,
                 qa=DEFAULT_QA):
        self.pipeline_id = pipeline_id
        self.version = version
        self.qa_value = qa
        self.base_url = url
        self.api_url = f"{self.base_url}/api/v4/projects/{project_id}"
        self.header = {"PRIVATE-TOKEN": api_token}

    @staticmethod
    def _filter_badge_id(payload, badge_type):
        return [badge for badge in payload if badge_type in badge["image_url"]][0]["id"]

    def create_badges_for_project(self):
        """ Endpoint to initialize a gitlab project with the main badges"""
        try:
            data = {"link_url": self.base_url + "/%{project_path}/%{project_id}",
                    "image_url": ""}
            urls = [self.qa_badge_image_url(), self.coverage_badge_image_url(0),
                    self.version_badge_image_url()]
            for url in urls:
                data.update({"image_url": url})
                response = requests.post(f"{self.api_url}/badges", headers=self.header,
                                         data=data)
                response.raise_for_status()
        except BaseException as error:
            _mask_token(error, self)
            raise

    def update_coverage_badge(self, test_job_name):
        """ Entry point for coverage badge """
        try:
            def image_url():
                coverage = self.get_coverage_value(test_job_name)
                return self.coverage_badge_image_url(coverage)
            _update_badge(self, lambda: COVERAGE_BADGE_NAME, image_url)
        except BaseException as error:
            _mask_token(error, self)
            raise

    def update_quality_badge(self):
        """ Entry point for quality badge """
        try:
            _update_badge(self, lambda: QA_BADGE_NAME, lambda: self.qa_badge_image_url())
        except BaseException as error:
            _mask_token(error, self)
            raise

    def update_version_badge(self):
        """ Entry point for version badge """
        try:
            _update_badge(self, lambda: VERSION_BADGE_NAME, lambda: self.version_badge_image_url())
        except BaseException as error:
            _mask_token(error, self)
            raise

    def get_coverage_value(self, job_name):
        """
        Auxiliary method to retrieve latest coverage value from the current pipeline

        Args:
            job_name (str): Name of the job in which the coverage value should be found

        Returns:
            coverage_value (int): Coverage reported by the first matching successful job
        """
        try:
            response = requests.get(f"{self.api_url}/pipelines/{self.pipeline_id}/jobs",
                                    params={"scope": "success"}, headers=self.header)
            response.raise_for_status()
            return _search_pages(
                response,
                lambda reply: [job for job in reply.json()
                               if job_name in job["name"]][0]["coverage"],
                lambda page: requests.get(f"{self.api_url}/pipelines/{self.pipeline_id}/jobs",
                                          params={"scope": "success", "page": page},
                                          headers=self.header))
        except BaseException as error:
            _mask_token(error, self)
            raise

    @staticmethod
    def coverage_badge_image_url(coverage_value):
        """
        Customizes the coverage badge url for the badge service

        Colour bands of coverage_value:
            [0, 30] = red; (30, 50] = yellow; (50, 70] = green; (70, 100] = brightgreen

        Args:
            coverage_value (int): Coverage in the range 0 to 100

        Returns:
            str: the url of the badge image
        """
        if coverage_value <= 30:
            color = "red"
        elif 30 < coverage_value and coverage_value <= 50:
            color = "yellow"
        elif 50 < coverage_value and coverage_value <= 70:
            color = "green"
        else:
            color = "brightgreen"
        return f"https://img.shields.io/badge/{COVERAGE_BADGE_NAME}-{coverage_value}-{color}"

    def qa_badge_image_url(self):
        """
        Customizes the code quality badge url for the badge service

        Colour bands of the quality score:
            NA = red; [0, 5] = red; (5, 6] = yellow; (6, 7] = green; (7, 10] = brightgreen

        Returns:
            str: the url of the badge image
        """
        if self.qa_value == DEFAULT_QA:
            color = "red"
        elif float(self.qa_value) <= 5.0:
            color = "red"
        elif 5.0 < float(self.qa_value) <= 6.0:
            color = "yellow"
        elif 6.0 < float(self.qa_value) <= 7.0:
            color = "green"
        else:
            color = "brightgreen"
        return f"https://img.shields.io/badge/{QA_BADGE_NAME}-{self.qa_value}/10-{color}"

    def version_badge_image_url(self):
        """
        Customizes the version badge url for the badge service

        Returns:
            str: the url of the badge image
        """
        return f"https://img.shields.io/badge/{VERSION_BADGE_NAME}-{self.version}-informational"
