"""Chat templates: the Jinja text a GGUF file carries in "tokenizer.chat_template", rendered the way
transformers renders it, in a sandbox (the template comes from a file, so it may read only the
values given to it and call nothing else)."""

from __future__ import annotations

import json
from collections.abc import Mapping, Sequence
from datetime import datetime
from typing import Any, NoReturn

from jinja2 import TemplateError
from jinja2.sandbox import ImmutableSandboxedEnvironment


class ChatTemplateError(ValueError):
    """The chat template could not be rendered (a syntax error, or the template refused the messages)."""


def _raise_exception(message: str) -> NoReturn:
    raise ChatTemplateError(message)


def _tojson(value: Any, indent: int | None = None, ensure_ascii: bool = False, sort_keys: bool = False) -> str:
    return json.dumps(value, indent=indent, ensure_ascii=ensure_ascii, sort_keys=sort_keys)


def _strftime_now(fmt: str) -> str:
    return datetime.now().strftime(fmt)


_compiled: dict[str, Any] = {}  # a model renders its one template again for every turn


def _compile(source: str) -> Any:
    if source in _compiled:
        return _compiled[source]
    env = ImmutableSandboxedEnvironment(trim_blocks=True, lstrip_blocks=True, extensions=["jinja2.ext.loopcontrols"])
    env.filters["tojson"] = _tojson
    env.globals["raise_exception"] = _raise_exception
    env.globals["strftime_now"] = _strftime_now
    try:
        template = env.from_string(source)
    except TemplateError as e:
        raise ChatTemplateError(f"the chat template does not compile: {e}") from None
    if len(_compiled) >= 8:
        _compiled.clear()
    _compiled[source] = template
    return template


def render_chat(source: str, messages: Sequence[Mapping[str, Any]], *, add_generation_prompt: bool,
                bos_token: str, eos_token: str, **extra: Any) -> str:
    """The prompt `source` makes of `messages`."""
    for i, m in enumerate(messages):
        if not isinstance(m, Mapping) or "role" not in m:
            raise ValueError(f"message {i} must be a mapping with a 'role' (and usually 'content')")
    try:
        return str(_compile(source).render(messages=[dict(m) for m in messages],
                                           add_generation_prompt=add_generation_prompt, bos_token=bos_token,
                                           eos_token=eos_token, **extra))
    except ChatTemplateError:
        raise
    except TemplateError as e:
        raise ChatTemplateError(f"the chat template failed: {e}") from None
