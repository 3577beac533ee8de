// The page side of the script bridge, placed in every installed bundle's entry
// page. The host delivers app events through `emit`, the initial state through
// `setInitialState`, and answers to `store`/`load` by emitting
// "<action>-<key>" with the result.
#include <string>

#include "core/assets/bundle_actions.h"

namespace tembrolexinsdk {
namespace cacheprocessor {

namespace {

const char kScript[] = R"JS(
    <script type="text/javascript">
tembrolexin = (function() {
  // Event name -> callbacks in registration order. No prototype, so event
  // names such as "constructor" are plain names.
  var callbacks = Object.create(null);
  var initialStateCallbacks = [];
  var initialState = null;

  var agent = '';
  try { agent = String(navigator.userAgent || '').toLowerCase(); } catch (e) {}
  var isIOS = /iphone|ipod|ipad/.test(agent);
  var isAndroid = !isIOS && agent.indexOf('android') !== -1;

  function post(handler, text) {
    if (isIOS) {
      window.webkit.messageHandlers[handler].postMessage(text);
    } else if (isAndroid) {
      AndroidWebView[handler](text);
    }
  }

  // Messages for the app's core rather than for the app itself.
  function sendMessageInternal(message) {
    post('sendMessageInternal', JSON.stringify(message));
  }

  function on(name, callback) {
    (callbacks[name] = callbacks[name] || []).push(callback);
  }

  function emit(name, value) {
    var list = callbacks[name];
    if (!list) return;
    list = list.slice();
    try {
      for (var i = 0; i < list.length; i++) list[i](value);
    } catch (e) {
      console.error('Callback failed', e);
    }
  }

  function getInitialState(callback) {
    if (initialState) {
      callback(initialState);
    } else {
      initialStateCallbacks.push(callback);
    }
  }

  // A state that is false, 0, empty or null counts as not set: a later
  // state may still follow, and getInitialState keeps queueing until then.
  // The callbacks queued so far get whatever state is given, once.
  function setInitialState(state) {
    if (initialState) throw new Error('Initial state already set');
    initialState = state;
    var queued = initialStateCallbacks;
    initialStateCallbacks = [];
    for (var i = 0; i < queued.length; i++) queued[i](state);
  }

  function sendMessage(message) {
    post('sendMessage', JSON.stringify(message));
  }

  function closeView() {
    if (isIOS) {
      window.webkit.messageHandlers.closeView.postMessage('Closing webview!');
    } else if (isAndroid) {
      AndroidWebView.closeView();
    }
  }

  // Registers `callback` for the answer to `action` on `key` and sends the
  // request; a missing key is answered at once, without a request.
  function request(action, key, value, withValue, callback) {
    if (!key) {
      if (typeof callback === 'function') callback({success: false});
      return;
    }
    on(action + '-' + key, callback);
    var message = {key: key, action: action};
    if (withValue) message.value = value;
    sendMessageInternal(message);
  }

  function store(key, value, callback) {
    request('storeData', key, value, true, callback);
  }

  function load(key, callback) {
    request('loadData', key, undefined, false, callback);
  }

  return {
    on: on,
    emit: emit,
    getInitialState: getInitialState,
    sendMessage: sendMessage,
    closeView: closeView,
    setInitialState: setInitialState,
    store: store,
    load: load
  };
})();
</script>
    )JS";

}  // namespace

const std::string& tembrolexinJsString() {
  static const std::string& script = *new std::string(kScript);  // never destroyed
  return script;
}

}  // namespace cacheprocessor
}  // namespace tembrolexinsdk
