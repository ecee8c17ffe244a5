# Sources of the payloads folder, added to the BrimSubscriber target.
